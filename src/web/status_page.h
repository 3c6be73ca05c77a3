#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"
#include "web/web_context.h"

namespace kestrin::web {

// The page body of the server connection form (address, login, empty
// password).
std::string ServerFormBody(std::string_view server_ip, std::string_view server_login);

// The three fields of a posted server connection form, read by the scan rule
// (every line is tested for all three keys).
struct ServerSettings {
  std::string ip;
  std::string login;
  std::string password;
};
ServerSettings ParseServerSettings(const std::vector<std::string>& params);

// Free space of the file system that holds a folder.
struct FreeSpace {
  uint64_t megabytes = 0;  // free bytes / 1048576, rounded down
  std::string place;       // the mount point of that file system
};

// Free space for the archive folder hint: nothing for an empty or relative
// path or an unreadable folder.
std::optional<FreeSpace> FreeSpaceOf(const std::string& folder);

// Everything the status page shows, copied before the page is built.
struct StatusSnapshot {
  std::string program_version;
  std::string vlc_version;
  platform::DateTime service_started{};
  platform::DateTime session_started{};
  platform::DateTime last_message{};
  std::string archive_path;
  std::optional<FreeSpace> free_space;
  int32_t archive_limit = 0;
  std::array<CameraStatus, 9> cameras;  // camera n is cameras[n - 1]
  int64_t form_mark = 0;                // the hidden "c_handle" value
};

// The body of the status page, menu line first. Every value is HTML-escaped.
std::string StatusPageBody(const StatusSnapshot& snapshot);

// The values of a posted status-page form: each line sets the limit when it
// contains "rewrite=", else the folder when it contains "apath=", else the
// address of the first camera n whose key "url<n>=" it contains; the value is
// the line with every occurrence of its key removed, and later lines win.
struct SettingsForm {
  std::string limit;
  std::string folder;
  std::array<std::string, 9> urls;  // camera n is urls[n - 1]
};
SettingsForm ParseSettingsForm(const std::vector<std::string>& params);

// The folder value of a settings form as it is compared and stored: one
// trailing "/" removed.
std::string NormalizeArchiveFolder(std::string folder);

}  // namespace kestrin::web
