#include "capture/tvlc_thread.h"

#include <condition_variable>

#include <fmt/format.h>

#include "capture/camera_address.h"
#include "capture/ffmpeg_source.h"
#include "capture/vlc_source.h"

namespace kestrin::capture {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr auto kConnectWait = std::chrono::milliseconds(10000);
constexpr int kRetryPauseMs = 5000;
constexpr int kMonitorPeriodMs = 500;
constexpr int kIdlePeriodMs = 1000;
constexpr auto kFrozenCheckPeriod = std::chrono::seconds(30);
// libVLC buffers UDP sources for 1000 ms (HTTP ones for 100 ms): after
// playback starts, a few pictures come at once and then none for up to about
// 1.6 s before the steady flow. The stalled-stream check waits this long after activation so that
// it does not drop healthy streams.
constexpr auto kStallCheckDelay = std::chrono::seconds(3);

// djb2 over `size` bytes, wrapping like a signed 32-bit number.
int32_t PictureHash(const uint8_t* bytes, size_t size) {
  uint32_t value = 5381;
  for (size_t i = 0; i < size; ++i) value = value * 33 + bytes[i];
  return static_cast<int32_t>(value);
}

// Polls `done` every 100 ms for up to 10 s; false when it never held or a
// stop was requested.
template <typename Done>
bool WaitUp(std::stop_token stop, Done done) {
  std::mutex mutex;
  std::condition_variable_any wake;
  for (const auto start = Clock::now();;) {
    if (done()) return true;
    if (Clock::now() - start >= kConnectWait) return false;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, std::chrono::milliseconds(kPollMs), [] { return false; });
    if (stop.stop_requested()) return false;
  }
}

// libVLC for every address it opens, FFmpeg for RTSP.
class CameraSources : public SourceMaker {
 public:
  explicit CameraSources(const service::VlcApi& vlc) : vlc_(vlc) {}
  std::unique_ptr<CameraSource> Make(const std::string& url, FrameStore& store) override {
    if (IsRtspAddress(url)) return rtsp_.Make(url, store);
    return vlc_.Make(url, store);
  }

 private:
  VlcSourceMaker vlc_;
  FfmpegSourceMaker rtsp_;
};

}  // namespace

TVLCThread::TVLCThread(int32_t index, const service::VlcApi& vlc, service::ServiceState& state)
    : TVLCThread(index, state, [&vlc] { return std::make_unique<CameraSources>(vlc); }) {}

TVLCThread::TVLCThread(int32_t index, service::ServiceState& state, SourceMakerFactory sources,
                       SteadyNow now)
    : index_(index), state_(state), make_sources_(std::move(sources)), now_(std::move(now)) {
  published_.frames = frames_;
}

TVLCThread::~TVLCThread() {
  Stop();
}

void TVLCThread::Start() {
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void TVLCThread::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void TVLCThread::SetUrl(const std::string& url) {
  std::lock_guard lock(camera_lock_);
  if (url == published_.url) return;
  published_.active = false;
  published_.url = url;
}

bool TVLCThread::RequestRestart() {
  std::lock_guard lock(camera_lock_);
  if (!published_.active) return false;
  published_.forcerestart = true;
  return true;
}

void TVLCThread::RecordSave(const std::string& lastfilename) {
  std::lock_guard lock(camera_lock_);
  ++published_.saveframe;
  published_.lastfilename = lastfilename;
}

CameraStatus TVLCThread::Status() const {
  std::lock_guard lock(camera_lock_);
  return published_;
}

bool TVLCThread::Sleep(std::stop_token stop, int ms) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

void TVLCThread::Run(std::stop_token stop) {
  // The sources are made once libVLC has been loaded, before Start.
  sources_ = make_sources_();
  {
    std::lock_guard lock(camera_lock_);
    published_.forcerestart = false;
    published_.restartcnt = 0;
  }
  previous_count_ = 0;
  last_hash_ = 1;
  last_hash_time_ = now_();

  while (!stop.stop_requested()) {
    std::string url;
    bool active;
    {
      std::lock_guard lock(camera_lock_);
      url = published_.url;
      active = published_.active;
    }
    if (active) {
      Monitor(stop);
    } else if (!url.empty()) {
      Connect(stop, url);
    } else {
      Idle(stop);
    }
  }
  // No decoder may write into the buffer once the worker is gone.
  source_.reset();
  sources_.reset();
}

void TVLCThread::Idle(std::stop_token stop) {
  source_.reset();
  Sleep(stop, kIdlePeriodMs);
}

bool TVLCThread::StartStream(std::stop_token stop, const std::string& url, uint32_t& width,
                             uint32_t& height) {
  source_ = sources_->Make(url, *frames_);
  if (!source_ || !source_->Open(url)) return false;
  if (!WaitUp(stop, [&] { return source_->PictureSize(width, height); })) return false;

  // No source of this worker writes while the buffer is resized.
  source_->Pause();
  {
    std::lock_guard lock(frames_->mutex());
    frames_->decoded_frames() = 0;
    frames_->delivery().Reset();
    ++frames_->streams();
    frames_->buffer().resize(static_cast<size_t>(width) * height * kFrameBytesPerPixel);
  }
  previous_count_ = 0;
  source_->Deliver(width, height);
  if (WaitUp(stop, [&] { return source_->IsPlaying(); })) return true;
  source_->Stop();
  return false;
}

void TVLCThread::Connect(std::stop_token stop, const std::string& url) {
  // The stream of a previous address is stopped and released first.
  source_.reset();
  uint32_t width = 0;
  uint32_t height = 0;
  if (!StartStream(stop, url, width, height)) {
    source_.reset();
    Sleep(stop, kRetryPauseMs);
    return;
  }
  // The address may have changed while connecting: then this stream is not
  // the camera's any more, and the next step opens the new address.
  {
    std::lock_guard lock(camera_lock_);
    if (published_.url != url) return;
  }
  state_.TryLog(fmt::format("[{}] видеопоток доступен {}x{}", index_, width, height));
  Activate(width, height);
}

void TVLCThread::Activate(uint32_t width, uint32_t height) {
  std::lock_guard lock(camera_lock_);
  published_.active = true;
  published_.v_width = width;
  published_.v_height = height;
  published_.v_starttime = platform::Now();
  published_.saveframe = 0;
  published_.lastfilename.clear();
  connected_width_ = width;
  connected_height_ = height;
  activated_at_ = now_();
}

void TVLCThread::Monitor(std::stop_token stop) {
  int64_t count = 0;
  if (const std::optional<DropReason> reason = Check(count)) {
    Drop(*reason);
    return;
  }
  {
    std::lock_guard lock(camera_lock_);
    published_.framecnt = count;
  }
  state_.metrics().CameraPictures(index_, count);
  LogDeliveryPattern();
  Sleep(stop, kMonitorPeriodMs);
}

std::optional<DropReason> TVLCThread::Check(int64_t& count) {
  {
    std::lock_guard lock(camera_lock_);
    if (published_.forcerestart) {
      published_.forcerestart = false;
      return DropReason::kRestartRequest;
    }
  }
  if (!source_ || !source_->IsPlaying()) return DropReason::kEnded;
  if (PictureFrozen()) return DropReason::kFrozenPicture;
  {
    std::lock_guard lock(frames_->mutex());
    count = frames_->decoded_frames();
  }
  if (const int64_t decoded = source_->DecodedCount(); decoded >= 0) count = decoded;
  const bool stalled =
      previous_count_ > 0 && previous_count_ == count && now_() - activated_at_ >= kStallCheckDelay;
  previous_count_ = count;
  if (stalled) return DropReason::kStalled;
  return std::nullopt;
}

bool TVLCThread::PictureFrozen() {
  std::lock_guard lock(frames_->mutex());
  const auto now = now_();
  const auto whole_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - last_hash_time_);
  if (frames_->decoded_frames() <= 0 || whole_seconds <= kFrozenCheckPeriod) return false;
  // The hash covers the first three quarters of the buffer.
  const size_t bytes = static_cast<size_t>(connected_width_) * connected_height_ * 3;
  const int32_t hash =
      PictureHash(frames_->buffer().data(), std::min(bytes, frames_->buffer().size()));
  last_hash_time_ = now;
  if (hash == last_hash_) {
    last_hash_ = 1;
    return true;
  }
  last_hash_ = hash;
  return false;
}

void TVLCThread::LogDeliveryPattern() {
  std::optional<std::string> verdict;
  {
    std::lock_guard lock(frames_->mutex());
    verdict = frames_->delivery().TakeVerdict();
  }
  if (verdict) state_.TryLog(fmt::format("[{}] {}", index_, *verdict));
}

void TVLCThread::Drop(DropReason reason) {
  source_.reset();
  {
    std::lock_guard lock(frames_->mutex());
    std::vector<uint8_t>().swap(frames_->buffer());
  }
  frames_->DropCopyBuffers();
  {
    std::lock_guard lock(camera_lock_);
    ++published_.restartcnt;
    published_.active = false;
    published_.v_width = 0;
    published_.v_height = 0;
    published_.v_starttime = platform::DateTime{};
    published_.saveframe = 0;
    published_.lastfilename.clear();
  }
  state_.metrics().CameraDrop(index_, static_cast<int>(reason));
  state_.TryLog(fmt::format("[{}] переподключение [Код: {}]", index_, static_cast<int>(reason)));
}

}  // namespace kestrin::capture
