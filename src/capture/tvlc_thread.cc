#include "capture/tvlc_thread.h"

#include <dlfcn.h>

#include <condition_variable>

#include <fmt/format.h>

#include "platform/codepage.h"

namespace kestrin::capture {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr auto kConnectWait = std::chrono::milliseconds(10000);
constexpr int kRetryPauseMs = 5000;
constexpr int kMonitorPeriodMs = 500;
constexpr int kIdlePeriodMs = 1000;
constexpr auto kFrozenCheckPeriod = std::chrono::seconds(30);
// libVLC buffers network sources for 1000 ms: after playback starts, a few
// pictures come at once and then none for up to about 1.6 s before the steady
// flow. The stalled-stream check waits this long after activation so that it
// does not drop healthy streams.
constexpr auto kStallCheckDelay = std::chrono::seconds(3);

// What libVLC's video callbacks get back: the frame store and the address of
// its buffer, fixed for one connection.
struct CallbackContext {
  FrameStore* store;
  uint8_t* buffer;
};

// A picture is about to be decoded: hold the frame mutex until it is written.
void* LockPicture(void* opaque, void** planes) {
  auto* context = static_cast<CallbackContext*>(opaque);
  context->store->mutex().lock();
  planes[0] = context->buffer;
  ++context->store->decoded_frames();
  return nullptr;
}

void UnlockPicture(void* opaque, void*, void* const*) {
  static_cast<CallbackContext*>(opaque)->store->mutex().unlock();
}

void DisplayPicture(void*, void*) {}

// djb2 over `size` bytes, wrapping like a signed 32-bit number.
int32_t PictureHash(const uint8_t* bytes, size_t size) {
  uint32_t value = 5381;
  for (size_t i = 0; i < size; ++i) value = value * 33 + bytes[i];
  return static_cast<int32_t>(value);
}

}  // namespace

// libVLC's own count of decoded pictures. The picture lock callback cannot
// serve as that count: libVLC's video output renders the last picture again
// every 80 ms when no new one arrives, so callbacks continue on a stalled
// stream. The functions are taken from the same library as the VlcApi.
struct TVLCThread::DecodeStats {
  decltype(&libvlc_media_player_get_media) get_media = nullptr;
  decltype(&libvlc_media_get_stats) get_stats = nullptr;
  decltype(&libvlc_media_release) media_release = nullptr;

  explicit DecodeStats(const service::VlcApi& vlc) {
    Dl_info info{};
    if (vlc.get_version == nullptr ||
        dladdr(reinterpret_cast<void*>(vlc.get_version), &info) == 0 || info.dli_fname == nullptr) {
      return;
    }
    void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return;  // not a loaded library: a stand-in API
    get_media =
        reinterpret_cast<decltype(get_media)>(dlsym(library, "libvlc_media_player_get_media"));
    get_stats = reinterpret_cast<decltype(get_stats)>(dlsym(library, "libvlc_media_get_stats"));
    media_release = vlc.media_release;
    // The library stays loaded for the process's life anyway.
    dlclose(library);
    if (!FromObject(reinterpret_cast<void*>(get_media), info.dli_fbase) ||
        !FromObject(reinterpret_cast<void*>(get_stats), info.dli_fbase)) {
      get_media = nullptr;
    }
  }

  bool available() const { return get_media != nullptr; }

  // Whether `function` lies in the object loaded at `base`.
  static bool FromObject(void* function, void* base) {
    Dl_info info{};
    return function != nullptr && dladdr(function, &info) != 0 && info.dli_fbase == base;
  }

  // Pictures decoded by `player` so far; -1 when unknown.
  int64_t Decoded(libvlc_media_player_t* player) const {
    libvlc_media_t* media = get_media(player);
    if (media == nullptr) return -1;
    libvlc_media_stats_t stats{};
    const bool ok = get_stats(media, &stats) != 0;
    media_release(media);
    return ok ? stats.i_decoded_video : -1;
  }
};

// One connection's libVLC objects; released together.
struct TVLCThread::Player {
  libvlc_instance_t* instance = nullptr;
  libvlc_media_player_t* player = nullptr;
  std::unique_ptr<CallbackContext> context;
};

TVLCThread::TVLCThread(int32_t index, const service::VlcApi& vlc, service::ServiceState& state)
    : index_(index), vlc_(vlc), state_(state), stats_(std::make_unique<DecodeStats>(vlc)) {
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
  // The API is complete only once libVLC has been loaded, before Start.
  stats_ = std::make_unique<DecodeStats>(vlc_);
  // libVLC loads its plug-ins when the first instance is created and unloads
  // them when the last is released, losing some memory each time. One
  // instance held for the thread's life keeps them loaded, so the instance
  // made for every connection costs nothing lasting.
  const char* const options[] = {"--no-audio"};
  libvlc_instance_t* anchor = vlc_.new_instance(1, options);
  {
    std::lock_guard lock(camera_lock_);
    published_.forcerestart = false;
    published_.restartcnt = 0;
  }
  previous_count_ = 0;
  last_hash_ = 1;
  last_hash_time_ = Clock::now();

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
  ReleasePlayer();
  if (anchor != nullptr) vlc_.release(anchor);
}

void TVLCThread::StopIfPlaying() {
  if (player_ && vlc_.media_player_is_playing(player_->player) == 1) {
    vlc_.media_player_stop(player_->player);
  }
}

void TVLCThread::ReleasePlayer() {
  if (!player_) return;
  StopIfPlaying();
  // Releasing the player ends its decoder and video output threads, so no
  // callback runs with the context afterwards.
  vlc_.media_player_release(player_->player);
  vlc_.release(player_->instance);
  player_.reset();
}

void TVLCThread::Idle(std::stop_token stop) {
  ReleasePlayer();
  Sleep(stop, kIdlePeriodMs);
}

bool TVLCThread::OpenPlayer(const std::string& url) {
  auto next = std::make_unique<Player>();
  const char* const options[] = {"--no-audio"};
  next->instance = vlc_.new_instance(1, options);
  if (next->instance == nullptr) return false;
  const std::string location = platform::Utf8ToCp1251(url);
  libvlc_media_t* media = vlc_.media_new_location(next->instance, location.c_str());
  if (media == nullptr) {
    vlc_.release(next->instance);
    return false;
  }
  next->player = vlc_.media_player_new_from_media(media);
  vlc_.media_release(media);
  if (next->player == nullptr) {
    vlc_.release(next->instance);
    return false;
  }
  player_ = std::move(next);
  vlc_.media_player_set_hwnd(player_->player, nullptr);
  vlc_.media_player_play(player_->player);
  return true;
}

void TVLCThread::Connect(std::stop_token stop, const std::string& url) {
  // A player of a previous address is stopped and released first.
  ReleasePlayer();
  if (!OpenPlayer(url)) {
    Sleep(stop, kRetryPauseMs);
    return;
  }

  // Size probe.
  unsigned width = 0;
  unsigned height = 0;
  bool sized = false;
  for (const auto start = Clock::now();;) {
    if (vlc_.video_get_size(player_->player, 0, &width, &height) == 0 &&
        static_cast<uint64_t>(width) * height != 0) {
      sized = true;
      break;
    }
    if (Clock::now() - start >= kConnectWait || !Sleep(stop, kPollMs)) break;
  }
  if (!sized) {
    ReleasePlayer();
    Sleep(stop, kRetryPauseMs);
    return;
  }

  // Restart the player decoding RV32 pictures of the probed size straight
  // into the frame store. No player of this worker decodes while the buffer
  // is resized.
  StopIfPlaying();
  player_->context = std::make_unique<CallbackContext>();
  {
    std::lock_guard lock(frames_->mutex());
    frames_->decoded_frames() = 0;
    frames_->buffer().resize(static_cast<size_t>(width) * height * kFrameBytesPerPixel);
    *player_->context = CallbackContext{frames_.get(), frames_->buffer().data()};
  }
  previous_count_ = 0;
  vlc_.media_player_set_hwnd(player_->player, nullptr);
  vlc_.video_set_format(player_->player, "RV32", width, height, width * 4);
  vlc_.video_set_callbacks(player_->player, LockPicture, UnlockPicture, DisplayPicture,
                           player_->context.get());
  vlc_.media_player_play(player_->player);

  // Playback wait.
  bool playing = false;
  for (const auto start = Clock::now();;) {
    if (vlc_.media_player_is_playing(player_->player) == 1) {
      playing = true;
      break;
    }
    if (Clock::now() - start >= kConnectWait || !Sleep(stop, kPollMs)) break;
  }
  if (!playing) {
    vlc_.media_player_stop(player_->player);
    ReleasePlayer();
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
  std::lock_guard lock(camera_lock_);
  published_.active = true;
  published_.v_width = width;
  published_.v_height = height;
  published_.v_starttime = platform::Now();
  published_.saveframe = 0;
  published_.lastfilename.clear();
  connected_width_ = width;
  connected_height_ = height;
  activated_at_ = Clock::now();
}

void TVLCThread::Monitor(std::stop_token stop) {
  int code = 0;
  {
    std::lock_guard lock(camera_lock_);
    if (published_.forcerestart) {
      published_.forcerestart = false;
      code = 2;
    }
  }
  if (code == 0 && (!player_ || vlc_.media_player_is_playing(player_->player) == 0)) code = 1;

  int64_t count = 0;
  if (code == 0) {
    std::lock_guard lock(frames_->mutex());
    const int64_t written = frames_->decoded_frames();
    count = written;
    const auto now = Clock::now();
    const auto whole_seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now - last_hash_time_);
    if (written > 0 && whole_seconds > kFrozenCheckPeriod) {
      const size_t bytes = static_cast<size_t>(connected_width_) * connected_height_ * 3;
      const int32_t hash =
          PictureHash(frames_->buffer().data(), std::min(bytes, frames_->buffer().size()));
      last_hash_time_ = now;
      if (hash == last_hash_) {
        code = 3;
        last_hash_ = 1;
      } else {
        last_hash_ = hash;
      }
    }
  }
  if (code == 0 && stats_->available()) {
    const int64_t decoded = stats_->Decoded(player_->player);
    if (decoded >= 0) count = decoded;
  }
  if (code == 0 && previous_count_ > 0 && previous_count_ == count &&
      Clock::now() - activated_at_ >= kStallCheckDelay) {
    code = 4;
  }
  previous_count_ = count;

  if (code != 0) {
    Drop(code);
    return;
  }
  {
    std::lock_guard lock(camera_lock_);
    published_.framecnt = count;
  }
  state_.metrics().CameraPictures(index_, count);
  Sleep(stop, kMonitorPeriodMs);
}

void TVLCThread::Drop(int code) {
  ReleasePlayer();
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
  state_.metrics().CameraDrop(index_, code);
  state_.TryLog(fmt::format("[{}] переподключение [Код: {}]", index_, code));
}

}  // namespace kestrin::capture
