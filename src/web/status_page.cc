#include "web/status_page.h"

#include <fmt/format.h>

#include "platform/file_system.h"
#include "web/page.h"
#include "web/parameters.h"

namespace kestrin::web {
namespace {

constexpr std::string_view kSeparator = "&nbsp;&nbsp;|&nbsp;&nbsp;";

bool FromYear2021(platform::DateTime t) {
  return platform::ToLocalFields(t).year >= 2021;
}

void AppendCameraBlock(std::string& body, int n, const CameraStatus& camera) {
  body += fmt::format("<tr><th>Камера {}</th></tr>", n);
  body += fmt::format(
      "<tr><td>URL: <input type=\"text\" size=\"80\" name=\"url{0}\" id=\"url{0}\" "
      "value=\"{1}\"><br>",
      n, HtmlEscape(camera.url));
  if (camera.active) {
    body += fmt::format("Размер: {}x{}{}", camera.v_width, camera.v_height, kSeparator);
    body += fmt::format("Подкл.: {}{}", platform::FormatDateTime(camera.v_starttime), kSeparator);
    body += fmt::format("RST: {}{}", camera.restartcnt, kSeparator);
    body += fmt::format("Кадры: {}/{}<br>", camera.framecnt, camera.saveframe);
    body += fmt::format("<a href=\"/?img={}\" target=\"_blank\">Смотреть стоп-кадр</a>", n);
    if (camera.lastfilename.size() == 26) {
      body += fmt::format(
          "{}<a href=\"/getsaveframe/?dvs={}&time={}\" target=\"_blank\">Смотреть последний "
          "сохраненый кадр</a>",
          kSeparator, HtmlEscape(camera.lastfilename.substr(0, 12)),
          HtmlEscape(camera.lastfilename.substr(12, 14)));
    }
  }
  body += "</td></tr>";
}

}  // namespace

std::string ServerFormBody(std::string_view server_ip, std::string_view server_login) {
  std::string body = "<form method=\"POST\"><table border=\"0\">";
  body += fmt::format(
      "<tr><td>Сервер IP:</td><td><input type=\"text\" name=\"server_ip\" id=\"server_ip\" "
      "value=\"{}\"></td></tr>",
      HtmlEscape(server_ip));
  body += fmt::format(
      "<tr><td>Логин:</td><td><input type=\"text\" name=\"server_login\" id=\"server_login\" "
      "value=\"{}\"></td></tr>",
      HtmlEscape(server_login));
  body +=
      "<tr><td>Пароль:</td><td><input type=\"password\" name=\"server_pass\" id=\"server_pass\" "
      "value=\"\"></td></tr>";
  body += "<tr><td>&nbsp;</td><td><input type=\"submit\" value=\"Применить\"></td></tr>";
  body += "</form>";
  return body;
}

ServerSettings ParseServerSettings(const std::vector<std::string>& params) {
  ServerSettings settings;
  for (const std::string& line : params) {
    if (line.find("server_ip=") != std::string::npos) settings.ip = RemoveAll(line, "server_ip=");
    if (line.find("server_login=") != std::string::npos) {
      settings.login = RemoveAll(line, "server_login=");
    }
    if (line.find("server_pass=") != std::string::npos) {
      settings.password = RemoveAll(line, "server_pass=");
    }
  }
  return settings;
}

std::optional<FreeSpace> FreeSpaceOf(const std::string& folder) {
  if (folder.empty() || folder.front() != '/') return std::nullopt;
  const std::optional<uint64_t> free = platform::FreeBytes(folder);
  if (!free) return std::nullopt;
  std::optional<std::string> place = platform::MountPoint(folder);
  if (!place) return std::nullopt;
  FreeSpace space;
  space.megabytes = *free / 1048576;
  space.place = std::move(*place);
  return space;
}

std::string StatusPageBody(const StatusSnapshot& s) {
  std::string body(kMenuLine);
  body += fmt::format("<h3>Видеосервер {} x64 (VLC: {})</h3>", HtmlEscape(s.program_version),
                      HtmlEscape(s.vlc_version));
  body += fmt::format(
      "<form method=\"post\"><table><tr><td>Видеосервер запущен:</td><td>{}</td></tr><tr><td>"
      "Сервер WS запущен:</td><td>",
      platform::FormatDateTime(s.service_started));
  // Both times show "-" until the server has welcomed the service.
  bool session = FromYear2021(s.session_started);
  body += session ? platform::FormatDateTime(s.session_started) : std::string("-");
  body += "</td></tr><tr><td>Последнее событие:</td><td>";
  body += session ? platform::FormatDateTime(s.last_message) : std::string("-");
  body += "</td></tr>";
  body += fmt::format(
      "<tr><td>Путь к фотоархиву:</td><td><input type=\"text\" size=\"60\" id=\"apath\" "
      "name=\"apath\" value=\"{}\">",
      HtmlEscape(s.archive_path));
  if (s.free_space && s.free_space->megabytes > 0) {
    body += fmt::format(
        "<br><span style=\"color:#8b8b8b;font-size:12px;\">{} MB свободно на диске {}</span>",
        s.free_space->megabytes, HtmlEscape(s.free_space->place));
  }
  body += "</td></tr>";
  body += fmt::format(
      "<tr><td>Перезаписывать архив если<br>на диске осталось меньше:</td><td><input "
      "type=\"number\" name=\"rewrite\" id=\"rewrite\" min=\"0\" max=\"1000000\" "
      "value=\"{}\">&nbsp;MB&nbsp;<br><span style=\"color:#8b8b8b;font-size:12px;\">укажите 0 "
      "если хотите отключить перезапись</span></td></tr>",
      s.archive_limit);
  body += "</table></br><table>";
  for (int n = 1; n <= 9; ++n) AppendCameraBlock(body, n, s.cameras[n - 1]);
  body += "</table>";
  body += fmt::format("<input type=\"hidden\" name=\"c_handle\" id=\"c_handle\" value=\"{}\">",
                      s.form_mark);
  body += "<p><input type=\"submit\" value=\"Сохранить изменения\"></p></form>";
  return body;
}

SettingsForm ParseSettingsForm(const std::vector<std::string>& params) {
  SettingsForm form;
  for (const std::string& line : params) {
    if (line.find("rewrite=") != std::string::npos) {
      form.limit = RemoveAll(line, "rewrite=");
    } else if (line.find("apath=") != std::string::npos) {
      form.folder = RemoveAll(line, "apath=");
    } else {
      for (int n = 1; n <= 9; ++n) {
        std::string key = fmt::format("url{}=", n);
        if (line.find(key) != std::string::npos) {
          form.urls[n - 1] = RemoveAll(line, key);
          break;
        }
      }
    }
  }
  return form;
}

std::string NormalizeArchiveFolder(std::string folder) {
  if (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace kestrin::web
