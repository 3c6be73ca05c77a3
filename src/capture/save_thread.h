#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/frame_store.h"

namespace kestrin::capture {

// What a frame saver needs, set by the event thread when it matches an event.
struct SaveJob {
  int32_t sdelay = 0;   // ms to wait before the first picture (the rule's delay)
  uint8_t quality = 0;  // JPEG quality (the rule's); clamped to 1..100 when encoding
  // Pictures to save: 1 for a single-frame rule (one plain JPEG file),
  // otherwise 5 x the rule's multiplier (a multi-frame file, 200 ms apart).
  uint8_t framecnt = 1;
  std::string filename;  // full path of the file to write, built by the photo naming
  // v_width and v_height of the camera, copied under its camera lock when the
  // event was matched.
  int32_t width = 0;
  int32_t height = 0;
  // The camera's frame store (CameraStatus::frames or TVLCThread::frames()).
  // The saver keeps this reference until it ends.
  std::shared_ptr<FrameStore> frames;
  int32_t buff_idx = 0;  // index 0..8 of the camera worker
};

// How long a saver waits for the first picture of a stream that has just
// connected (its buffer is there, its first picture not yet: a photo taken now
// would be black), looking again every kFirstPictureRetry. After that it ends
// as for a dropped camera.
inline constexpr std::chrono::milliseconds kFirstPictureWait{3000};
inline constexpr std::chrono::milliseconds kFirstPictureRetry{20};

// A frame saver: one per matched event.
//
// It waits sdelay ms, creates `filename` (replacing any file of that name)
// and writes framecnt JPEG pictures copied from the frame store: a
// single-frame file is one JPEG; a multi-frame file is a sequence of records
// (length tag, little-endian length, JPEG bytes). While it writes, the path is
// registered in platform::WritingFiles and flock'ed, so readers treat it as
// unreadable and a second saver of the same path ends without writing.
//
// Failures end it silently: a file that cannot be created leaves nothing, nor
// does one that cannot be written whole (a full disk: the torn file is
// removed); a frame store smaller than width x height x 4 (camera dropped or
// resized) keeps the pictures written so far. Nothing is reported or logged.
// A picture asked for before a new stream's first one waits for it, up to
// kFirstPictureWait in all per saver.
class TSaveThread {
 public:
  // Hands the job to the process's saving side (SaveService::Instance(),
  // which shares pictures between savers) and returns at once. Nobody waits
  // for the saver, not even service stop: it holds its own reference to the
  // frame store.
  static void Start(SaveJob job);

  // A lone saver: runs the whole save on the calling thread, sharing nothing
  // (tests and benchmarks; the saving side writes the same files). Returns
  // the number of pictures written; -1 when the file could not be created or
  // written whole (and so is not there).
  static int Run(const SaveJob& job);
};

}  // namespace kestrin::capture
