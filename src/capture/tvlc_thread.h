#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "capture/camera_source.h"
#include "capture/camera_status.h"
#include "capture/frame_store.h"
#include "platform/local_time.h"
#include "service/service_state.h"
#include "service/vlc_library.h"

namespace kestrin::capture {

// Why a worker dropped its stream, as logged.
enum class DropReason : int {
  kEnded = 1,           // the source no longer plays (ended, failed, resized)
  kRestartRequest = 2,  // RequestRestart
  kFrozenPicture = 3,   // the same picture as at the check 30 s before
  kStalled = 4,         // no new picture since the previous check
};

// One camera worker (index 0..8; camera N of the web interface is worker N-1).
// Keeps the camera's stream open through a CameraSource (libVLC, or FFmpeg
// for rtsp:// and rtsps:// addresses) and holds its newest picture in a
// FrameStore.
//
// Its thread repeats one step until stopped:
//   - an address and not active: connect (probe the size for up to 10 s,
//     start BGRX decoding into the frame store, wait up to 10 s for playback);
//     a failed attempt is silent and retried after 5 s. On success logs
//     "[i] видеопоток доступен WxH" and becomes active;
//   - active: monitor every 500 ms and drop the stream on a restart request
//     (code 2), a player that stopped playing (1), a picture unchanged for
//     more than 30 s (3) or no newly decoded picture since the previous check
//     (4; checked from 3 s after activation, past libVLC's start-up buffering),
//     logging "[i] переподключение [Код: c]"; the next step reconnects;
//     once per connection, when the source reports its pictures' arrivals
//     and they come in bursts or with long gaps, logs how (DeliveryPattern);
//   - otherwise idle: stop any player, sleep 1 s.
//
// Other threads use only the methods below. Each takes the worker's camera
// lock just to copy or assign a few fields, never together with the frame
// mutex.
class TVLCThread {
 public:
  // `vlc` and `state` must outlive the worker; `vlc` need only be filled in
  // (libVLC loaded) by the time Start is called.
  TVLCThread(int32_t index, const service::VlcApi& vlc, service::ServiceState& state);
  // The time the stall and frozen-picture checks go by.
  using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;
  // A worker whose thread opens its addresses with the maker `sources` makes
  // when the thread starts, its checks timed by `now`.
  TVLCThread(int32_t index, service::ServiceState& state, SourceMakerFactory sources,
             SteadyNow now = std::chrono::steady_clock::now);
  TVLCThread(const TVLCThread&) = delete;
  TVLCThread& operator=(const TVLCThread&) = delete;
  // Stops and joins the thread if it still runs.
  ~TVLCThread();

  // Starts the thread. At most once.
  void Start();
  // Asks the thread to end and waits for it. The request is seen at the end of
  // the current step, within 100 ms inside the connect waits. The stream is
  // stopped and released before this returns. Safe to call more than once.
  void Stop();

  int32_t index() const { return index_; }

  // The frame store, constant for the worker's life (no lock needed).
  const std::shared_ptr<FrameStore>& frames() const { return frames_; }

  // Gives or changes the stream address (UTF-8; empty makes the worker idle).
  // When it differs from the current one: active becomes false and the worker
  // opens the new address at its next step. Not counted as a drop.
  void SetUrl(const std::string& url);

  // Asks the worker to drop and reopen its stream. Only while active; returns
  // whether the request was recorded.
  bool RequestRestart();

  // Records a save started for this camera: saveframe + 1 and lastfilename.
  void RecordSave(const std::string& lastfilename);

  // A copy of the published fields.
  CameraStatus Status() const;

 private:
  void Run(std::stop_token stop);
  void Connect(std::stop_token stop, const std::string& url);
  // Opens `url`, probes its size and starts delivery; false on failure.
  bool StartStream(std::stop_token stop, const std::string& url, uint32_t& width, uint32_t& height);
  void Activate(uint32_t width, uint32_t height);
  void Monitor(std::stop_token stop);
  // The reason to drop the stream at this check, if any; `count` gets the
  // pictures decoded so far.
  std::optional<DropReason> Check(int64_t& count);
  bool PictureFrozen();
  // Logs, once per connection, how the pictures arrive when that is bad.
  void LogDeliveryPattern();
  void Idle(std::stop_token stop);
  void Drop(DropReason reason);
  // Sleeps `ms` unless a stop is requested; false when it was.
  static bool Sleep(std::stop_token stop, int ms);

  const int32_t index_;
  service::ServiceState& state_;
  const SourceMakerFactory make_sources_;
  const SteadyNow now_;
  const std::shared_ptr<FrameStore> frames_ = std::make_shared<FrameStore>();

  // The camera lock and the published fields it guards.
  mutable std::mutex camera_lock_;
  CameraStatus published_;

  // Private to the thread body.
  std::unique_ptr<SourceMaker> sources_;
  std::unique_ptr<CameraSource> source_;
  std::chrono::steady_clock::time_point activated_at_{};
  uint32_t connected_width_ = 0;
  uint32_t connected_height_ = 0;
  int64_t previous_count_ = 0;
  int32_t last_hash_ = 1;
  std::chrono::steady_clock::time_point last_hash_time_{};

  std::jthread thread_;
};

}  // namespace kestrin::capture
