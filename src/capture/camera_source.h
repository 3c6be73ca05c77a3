#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/frame_store.h"

namespace kestrin::capture {

// What opens one camera stream for a camera worker and decodes it into the
// worker's FrameStore. The worker (TVLCThread) drives the connect / monitor /
// drop cycle; a source only answers its questions. One source serves one
// connection: the worker makes a new one for every attempt and destroys it
// when the stream is dropped or forgotten.
//
// All methods are called from the worker's thread; none blocks for long
// (opening and decoding run on the source's own threads).
class CameraSource {
 public:
  virtual ~CameraSource() = default;

  // Starts opening `url` (UTF-8). False when the attempt cannot even begin.
  virtual bool Open(const std::string& url) = 0;
  // The stream's picture size once known (both nonzero); polled while probing.
  virtual bool PictureSize(uint32_t& width, uint32_t& height) = 0;
  // Stops writing into the frame store, so that the worker may resize its
  // buffer. Does nothing when nothing is written yet.
  virtual void Pause() = 0;
  // Writes every decoded picture of `width` x `height` into the frame store
  // (BGRX, the store's layout, under its frame mutex, counting each in
  // decoded_frames()). The worker has sized the buffer for it.
  virtual void Deliver(uint32_t width, uint32_t height) = 0;
  // Whether the stream still plays. After Deliver: false once it ended, failed
  // or changed its picture size.
  virtual bool IsPlaying() = 0;
  // Stops the stream whatever its state (a failed start).
  virtual void Stop() = 0;
  // Pictures decoded since Deliver by the source's own count, or -1 when the
  // store's decoded_frames() is the count.
  virtual int64_t DecodedCount() = 0;
};

// Makes the sources of one worker thread. Made when the thread starts and
// destroyed when it ends, so it may hold what outlives single connections.
class SourceMaker {
 public:
  virtual ~SourceMaker() = default;
  // A source for `url`, writing into `store`; null when none can be made.
  virtual std::unique_ptr<CameraSource> Make(const std::string& url, FrameStore& store) = 0;
};

using SourceMakerFactory = std::function<std::unique_ptr<SourceMaker>()>;

}  // namespace kestrin::capture
