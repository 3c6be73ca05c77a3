#include "service/vlc_library.h"

#include <filesystem>
#include <system_error>

namespace kestrin::service {
namespace {

// Makes `folder` the current directory for its lifetime (libVLC looks for its
// plug-ins from there).
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::string& folder) {
    std::error_code ec;
    saved_ = std::filesystem::current_path(ec);
    if (!folder.empty()) std::filesystem::current_path(folder, ec);
  }
  ~ScopedCurrentDir() {
    std::error_code ec;
    if (!saved_.empty()) std::filesystem::current_path(saved_, ec);
  }

 private:
  std::filesystem::path saved_;
};

std::string InFolder(const std::string& folder, const char* name) {
  return folder.empty() ? name : (std::filesystem::path(folder) / name).string();
}

template <typename F>
void Resolve(const platform::SharedLibrary& library, const char* name, F& target,
             std::string& missing) {
  target = reinterpret_cast<F>(library.Symbol(name));
  if (target == nullptr) missing += std::string(name) + "\r\n";
}

}  // namespace

bool VlcLibrary::LoadVlc(const std::string& folder, ServiceLog& log) {
  ScopedCurrentDir current_dir(folder);
  if (!core_.Open(InFolder(folder, "libvlccore.so.9"), true) ||
      !vlc_.Open(InFolder(folder, "libvlc.so.5"), true)) {
    log.MainLog("ОШИБКА: Не удалось загрузить библиотеки VLC");
    return false;
  }
  std::string missing;
  Resolve(vlc_, "libvlc_get_version", api_.get_version, missing);
  Resolve(vlc_, "libvlc_new", api_.new_instance, missing);
  Resolve(vlc_, "libvlc_media_new_location", api_.media_new_location, missing);
  Resolve(vlc_, "libvlc_media_player_new_from_media", api_.media_player_new_from_media, missing);
  Resolve(vlc_, "libvlc_media_release", api_.media_release, missing);
  Resolve(vlc_, "libvlc_media_player_set_hwnd", api_.media_player_set_hwnd, missing);
  Resolve(vlc_, "libvlc_media_player_play", api_.media_player_play, missing);
  Resolve(vlc_, "libvlc_media_player_stop", api_.media_player_stop, missing);
  Resolve(vlc_, "libvlc_media_player_release", api_.media_player_release, missing);
  Resolve(vlc_, "libvlc_release", api_.release, missing);
  Resolve(vlc_, "libvlc_media_player_is_playing", api_.media_player_is_playing, missing);
  Resolve(vlc_, "libvlc_media_new_path", api_.media_new_path, missing);
  Resolve(vlc_, "libvlc_video_get_size", api_.video_get_size, missing);
  Resolve(vlc_, "libvlc_video_set_callbacks", api_.video_set_callbacks, missing);
  Resolve(vlc_, "libvlc_video_set_format", api_.video_set_format, missing);
  Resolve(vlc_, "libvlc_video_take_snapshot", api_.video_take_snapshot, missing);
  if (!missing.empty()) {
    vlc_.Close();
    api_ = VlcApi();
    log.MainLog("ОШИБКА: Следующие функции VLC недоступны\r\n" + missing);
    return false;
  }
  return true;
}

}  // namespace kestrin::service
