#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/frame_store.h"
#include "platform/local_time.h"

namespace kestrin::capture {

// A copy of a camera worker's published fields, taken under its camera lock.
struct CameraStatus {
  // True while the stream delivers pictures into the frame store; only then
  // is there a usable picture of v_width x v_height.
  bool active = false;
  bool forcerestart = false;
  uint32_t v_width = 0;              // 0 after a drop
  uint32_t v_height = 0;             // 0 after a drop
  platform::DateTime v_starttime{};  // when the stream became active; only while active
  std::string url;                   // UTF-8; empty: no camera
  int64_t framecnt = 0;              // pictures decoded since activation, as last published
  int64_t saveframe = 0;             // saves started since activation
  int32_t restartcnt = 0;            // drops since service start
  // Controller identifier + event time "yyyymmddhhnnss" of the last save
  // started for this camera; empty after (re)activation.
  std::string lastfilename;
  // The frame store (frame mutex + frame buffer); the same object for the
  // worker's whole life.
  std::shared_ptr<FrameStore> frames;
};

}  // namespace kestrin::capture
