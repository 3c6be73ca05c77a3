#include "capture/vlc_source.h"

#include <cctype>
#include <optional>

#include "platform/codepage.h"
#include "platform/shared_library.h"

namespace kestrin::capture {

namespace {

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

// Whether `url` starts with `scheme` ("http://"), in any letter case.
bool HasScheme(std::string_view url, std::string_view scheme) {
  if (url.size() < scheme.size()) return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> VlcInstanceOptions(std::string_view url) {
  std::vector<std::string> options = {"--no-audio"};
  if (HasScheme(url, "http://") || HasScheme(url, "https://")) {
    options.push_back("--network-caching=" + std::to_string(kHttpCachingMs));
  }
  return options;
}

// libVLC's own count of decoded pictures. The picture lock callback cannot
// serve as that count: libVLC's video output renders the last picture again
// every 80 ms when no new one arrives, so callbacks continue on a stalled
// stream. The functions are taken from the same library as the VlcApi.
struct VlcSourceMaker::DecodeStats {
  decltype(&libvlc_media_player_get_media) get_media = nullptr;
  decltype(&libvlc_media_get_stats) get_stats = nullptr;
  decltype(&libvlc_media_release) media_release = nullptr;

  explicit DecodeStats(const service::VlcApi& vlc) {
    const std::optional<platform::LoadedObject> object =
        platform::ObjectContaining(reinterpret_cast<void*>(vlc.get_version));
    platform::SharedLibrary library;
    if (!object || !library.OpenLoaded(object->file)) return;  // a stand-in API
    get_media =
        reinterpret_cast<decltype(get_media)>(library.Symbol("libvlc_media_player_get_media"));
    get_stats = reinterpret_cast<decltype(get_stats)>(library.Symbol("libvlc_media_get_stats"));
    media_release = vlc.media_release;
    // The library stays loaded for the process's life anyway.
    library.Close();
    if (!FromObject(reinterpret_cast<void*>(get_media), object->base) ||
        !FromObject(reinterpret_cast<void*>(get_stats), object->base)) {
      get_media = nullptr;
    }
  }

  bool available() const { return get_media != nullptr; }

  // Whether `function` lies in the object loaded at `base`.
  static bool FromObject(void* function, const void* base) {
    const std::optional<platform::LoadedObject> object = platform::ObjectContaining(function);
    return object && object->base == base;
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

namespace {

// One connection's libVLC instance, player and callback context; released
// together.
class VlcSource : public CameraSource {
 public:
  VlcSource(const service::VlcApi& vlc, const VlcSourceMaker::DecodeStats& stats, FrameStore& store)
      : vlc_(vlc), stats_(stats), store_(store) {}
  ~VlcSource() override {
    if (player_ == nullptr) return;
    Pause();
    // Releasing the player ends its decoder and video output threads, so no
    // callback runs with the context afterwards.
    vlc_.media_player_release(player_);
    vlc_.release(instance_);
  }

  bool Open(const std::string& url) override {
    const std::vector<std::string> options = VlcInstanceOptions(url);
    std::vector<const char*> arguments;
    for (const std::string& option : options) arguments.push_back(option.c_str());
    libvlc_instance_t* instance =
        vlc_.new_instance(static_cast<int>(arguments.size()), arguments.data());
    if (instance == nullptr) return false;
    const std::string location = platform::Utf8ToCp1251(url);
    libvlc_media_t* media = vlc_.media_new_location(instance, location.c_str());
    if (media == nullptr) {
      vlc_.release(instance);
      return false;
    }
    libvlc_media_player_t* player = vlc_.media_player_new_from_media(media);
    vlc_.media_release(media);
    if (player == nullptr) {
      vlc_.release(instance);
      return false;
    }
    instance_ = instance;
    player_ = player;
    vlc_.media_player_set_hwnd(player_, nullptr);
    vlc_.media_player_play(player_);
    return true;
  }

  bool PictureSize(uint32_t& width, uint32_t& height) override {
    unsigned w = 0;
    unsigned h = 0;
    if (vlc_.video_get_size(player_, 0, &w, &h) != 0 || static_cast<uint64_t>(w) * h == 0) {
      return false;
    }
    width = w;
    height = h;
    return true;
  }

  void Pause() override {
    if (vlc_.media_player_is_playing(player_) == 1) vlc_.media_player_stop(player_);
  }

  // Restarts the player decoding RV32 pictures of the probed size straight
  // into the frame store.
  void Deliver(uint32_t width, uint32_t height) override {
    context_ = std::make_unique<CallbackContext>();
    {
      std::lock_guard lock(store_.mutex());
      *context_ = CallbackContext{&store_, store_.buffer().data()};
    }
    vlc_.media_player_set_hwnd(player_, nullptr);
    vlc_.video_set_format(player_, "RV32", width, height, width * 4);
    vlc_.video_set_callbacks(player_, LockPicture, UnlockPicture, DisplayPicture, context_.get());
    vlc_.media_player_play(player_);
  }

  bool IsPlaying() override { return vlc_.media_player_is_playing(player_) == 1; }
  void Stop() override { vlc_.media_player_stop(player_); }

  int64_t DecodedCount() override { return stats_.available() ? stats_.Decoded(player_) : -1; }

 private:
  const service::VlcApi& vlc_;
  const VlcSourceMaker::DecodeStats& stats_;
  FrameStore& store_;
  libvlc_instance_t* instance_ = nullptr;
  libvlc_media_player_t* player_ = nullptr;
  std::unique_ptr<CallbackContext> context_;
};

}  // namespace

VlcSourceMaker::VlcSourceMaker(const service::VlcApi& vlc)
    : vlc_(vlc), stats_(std::make_unique<DecodeStats>(vlc)) {
  const char* const options[] = {"--no-audio"};
  anchor_ = vlc_.new_instance(1, options);
}

VlcSourceMaker::~VlcSourceMaker() {
  if (anchor_ != nullptr) vlc_.release(anchor_);
}

std::unique_ptr<CameraSource> VlcSourceMaker::Make(const std::string&, FrameStore& store) {
  return std::make_unique<VlcSource>(vlc_, *stats_, store);
}

}  // namespace kestrin::capture
