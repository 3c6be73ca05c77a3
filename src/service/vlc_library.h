#pragma once

#include <vlc/vlc.h>

#include <string>

#include "platform/shared_library.h"
#include "service/main_log.h"

namespace kestrin::service {

// The libVLC functions resolved by name at start; the service starts only
// when every one is there. The camera workers call the others; media_new_path
// and video_take_snapshot are part of the check only, nothing calls them.
struct VlcApi {
  decltype(&libvlc_get_version) get_version = nullptr;
  decltype(&libvlc_new) new_instance = nullptr;
  decltype(&libvlc_media_new_location) media_new_location = nullptr;
  decltype(&libvlc_media_player_new_from_media) media_player_new_from_media = nullptr;
  decltype(&libvlc_media_release) media_release = nullptr;
  decltype(&libvlc_media_player_set_hwnd) media_player_set_hwnd = nullptr;
  decltype(&libvlc_media_player_play) media_player_play = nullptr;
  decltype(&libvlc_media_player_stop) media_player_stop = nullptr;
  decltype(&libvlc_media_player_release) media_player_release = nullptr;
  decltype(&libvlc_release) release = nullptr;
  decltype(&libvlc_media_player_is_playing) media_player_is_playing = nullptr;
  decltype(&libvlc_media_new_path) media_new_path = nullptr;
  decltype(&libvlc_video_get_size) video_get_size = nullptr;
  decltype(&libvlc_video_set_callbacks) video_set_callbacks = nullptr;
  decltype(&libvlc_video_set_format) video_set_format = nullptr;
  decltype(&libvlc_video_take_snapshot) video_take_snapshot = nullptr;
};

// The loaded libVLC module. It stays loaded until the process ends.
class VlcLibrary {
 public:
  // Loads libvlccore.so.9 and then libvlc.so.5 from `folder` (the system's
  // copies by soname when empty), with `folder` as the current directory
  // meanwhile, and resolves the function list. On failure logs
  // "ОШИБКА: Не удалось загрузить библиотеки VLC" or the list of missing
  // functions and returns false. A log write failure propagates.
  bool LoadVlc(const std::string& folder, ServiceLog& log);

  const VlcApi& api() const { return api_; }

 private:
  platform::SharedLibrary core_;
  platform::SharedLibrary vlc_;
  VlcApi api_;
};

}  // namespace kestrin::service
