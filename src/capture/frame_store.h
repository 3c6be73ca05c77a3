#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/delivery_pattern.h"

namespace kestrin::capture {

// Bytes per pixel of a frame buffer: blue, green, red, unused.
inline constexpr size_t kFrameBytesPerPixel = 4;
// Bytes per pixel of a converted picture: blue, green, red.
inline constexpr size_t kPictureBytesPerPixel = 3;

// Names one decoded picture of a frame store: the stream it came from and its
// number in that stream.
struct PictureId {
  int64_t stream = 0;
  int64_t number = 0;
  bool operator==(const PictureId&) const = default;
};

// What FrameStore::TakeFrame did.
enum class FrameTake {
  kMissing,    // no such picture: like CopyFrame returning false
  kNotYet,     // the stream delivered no picture yet: the buffer holds none
  kUnchanged,  // the current picture is the one the caller keeps: nothing copied
  kCopied,     // the current picture was copied
};

// The frame mutex. Unlike std::mutex it may be released by another thread
// than the one that took it: libVLC may call the picture lock and unlock
// callbacks on different threads. Usable with std::lock_guard.
class FrameMutex {
 public:
  void lock();
  bool try_lock();
  void unlock();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool locked_ = false;
};

// The newest decoded picture of one camera and the frame mutex that guards it.
//
// The buffer holds rows from the top of the picture to the bottom, each row
// width * 4 bytes with no padding; in each pixel byte 0 is blue, 1 green,
// 2 red and 3 unused. The camera worker's decoder writes every frame straight
// into it.
//
// A store is held by std::shared_ptr: the camera worker, every frame saver and
// every web reader keep their own reference, so a reader that outlives the
// worker (a saver still running when the service stops) never touches freed
// memory. The store is created with its worker and never replaced.
class FrameStore {
 public:
  FrameStore() = default;
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // Readers (frame saver, web frame viewer).
  //
  // Converts the current picture into `picture`, resized to width * height * 3
  // bytes: pixel x of row r takes bytes 0, 1 and 2 of the 4-byte pixel at
  // (r * width + x) * 4, in that order (blue, green, red), byte 3 dropped.
  // `width` and `height` are the copies of v_width and v_height the caller
  // took under the camera lock. Holds the frame mutex only for the copy.
  // Returns false, leaving `picture` unspecified, when either size is zero or
  // the buffer holds fewer than width * height * 4 bytes (the camera was
  // dropped or reconnected with a smaller picture since the sizes were read).
  bool CopyPicture(uint32_t width, uint32_t height, std::vector<uint8_t>& picture) const;

  // Like CopyPicture, but copies the first width * height * 4 bytes of the
  // buffer unchanged (one memcpy under the frame mutex). EncodeJpeg with
  // PixelLayout::kBgrx turns them into the same picture as the conversion.
  bool CopyFrame(uint32_t width, uint32_t height, std::vector<uint8_t>& frame) const;

  // Like CopyFrame, for a reader that keeps the copy it took before: under the
  // frame mutex, sets `id` to the current picture's and, when it equals `kept`
  // (the id of a copy of the same size the caller holds), copies nothing. The
  // buffer is checked the same way in every case. A stream that has just
  // connected has a buffer of its size before its first picture: kNotYet
  // until that picture is decoded.
  FrameTake TakeFrame(uint32_t width, uint32_t height, const std::optional<PictureId>& kept,
                      PictureId& id, std::vector<uint8_t>& frame) const;

  // Buffers for CopyFrame, kept between saves: a saver that takes a buffer a
  // previous saver used copies into pages that are already mapped, where a new
  // buffer of a whole frame would first be faulted in page by page. Take
  // returns an empty vector when no buffer is kept. Return keeps at most
  // kSpareCopies buffers and frees the rest.
  std::vector<uint8_t> TakeCopyBuffer();
  void ReturnCopyBuffer(std::vector<uint8_t> buffer);
  // Frees the kept buffers (the stream ended; the next may have another size).
  void DropCopyBuffers();
  static constexpr size_t kSpareCopies = 2;

  // Writer side, for the camera worker and its decoder callbacks. Everything
  // below is guarded by mutex().

  // The frame mutex: guards buffer(), decoded_frames() and delivery().
  FrameMutex& mutex() const { return mutex_; }

  // The frame buffer (the worker's vlcBuffer). Resized or released only while
  // no decoder writes into it.
  std::vector<uint8_t>& buffer() { return buffer_; }
  // Frames decoded since the current stream was connected.
  int64_t& decoded_frames() { return decoded_frames_; }
  // Streams connected so far: the worker counts one up whenever it resets
  // decoded_frames() for a new stream. With it, decoded_frames() names the
  // picture in the buffer (PictureId).
  int64_t& streams() { return streams_; }
  // How the current stream's pictures arrive, for sources that write only new
  // pictures (the worker resets it with decoded_frames()).
  DeliveryPattern& delivery() { return delivery_; }

 private:
  mutable FrameMutex mutex_;
  std::vector<uint8_t> buffer_;
  int64_t decoded_frames_ = 0;
  int64_t streams_ = 0;
  DeliveryPattern delivery_;

  std::mutex spares_mutex_;
  std::vector<std::vector<uint8_t>> spares_;  // guarded by spares_mutex_
};

// The picture conversion on its own, for a buffer the caller already holds:
// fills `picture` (width * height * 3 bytes, resized) from `frame`, which must
// hold at least width * height * 4 bytes.
void ConvertFrameToPicture(const uint8_t* frame, uint32_t width, uint32_t height,
                           std::vector<uint8_t>& picture);

}  // namespace kestrin::capture
