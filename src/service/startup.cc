#include "service/startup.h"

#include <filesystem>
#include <system_error>

#include "service/library_check.h"
#include "service/password_cipher.h"

namespace kestrin::service {
namespace fs = std::filesystem;

bool LoadDatabaseClient(ServiceState& state, platform::SharedLibrary& library) {
  std::string path = (state.config().home / kDatabaseClientLibrary).string();
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    state.log().MainLog("ОШИБКА: Библиотека libfbclient.so.2 не найдена.");
    return false;
  }
  if (LibraryArchitecture(path) != "64-bit") {
    state.log().MainLog("ОШИБКА: Требуется 64-разрядная библиотека libfbclient.so.2");
    return false;
  }
  if (!library.Open(path, true)) {
    // A 64-bit file that is no loadable library gives the same answer as a
    // library of the wrong kind.
    state.log().MainLog("ОШИБКА: Требуется 64-разрядная библиотека libfbclient.so.2");
    return false;
  }
  return true;
}

ArchiveResolution ResolveArchiveFolder(const std::string& configured, const std::string& home) {
  ArchiveResolution result;
  std::error_code ec;
  std::string path = configured;
  if (!path.empty()) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty() || !fs::is_directory(path, ec)) path.clear();
  }
  if (path.empty()) {
    std::string fallback = (fs::path(home) / "images").string();
    if (!fs::is_directory(fallback, ec)) fs::create_directory(fallback, ec);
    if (fs::is_directory(fallback, ec)) {
      path = fallback;
      result.write_back = true;
    }
  }
  result.path = path;
  return result;
}

void ReadSettings(ServiceState& state) {
  SettingsFile& settings = state.settings();
  std::string login = settings.Read("connect", "login", "");
  std::string server = settings.Read("connect", "server", "127.0.0.1");
  std::string pass = settings.Read("connect", "pass", "");
  state.archive().SetNameFormat(settings.ReadInt("main", "nameformat", 0));
  state.archive().SetLimit(settings.ReadInt("main", "archlimit", 0));
  ArchiveResolution archive =
      ResolveArchiveFolder(settings.Read("main", "arch", ""), state.config().home.string());
  state.archive().SetPath(archive.path);
  if (archive.write_back) settings.Write("main", "arch", archive.path);

  if (!pass.empty()) pass = DecipherDigest(pass, state.sekey);
  state.session().SetCredentials(server, login, pass);
}

}  // namespace kestrin::service
