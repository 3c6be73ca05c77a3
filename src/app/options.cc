#include "app/options.h"

#include "platform/text.h"

namespace kestrin::app {
namespace {

// The switch name of "/install", "-INSTALL" or "--install"; empty for others.
std::string SwitchName(const std::string& arg) {
  if (arg.size() < 2) return "";
  if (arg[0] == '/') return platform::Lower(arg.substr(1));
  if (arg[0] != '-') return "";
  return platform::Lower(arg.substr(arg[1] == '-' ? 2 : 1));
}

bool ParsePort(const std::string& text, int& port) {
  const std::optional<int32_t> value = platform::ParseDecimal(text, {.plus = false});
  if (!value || *value < 1 || *value > 65535) return false;
  port = *value;
  return true;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  auto fail = [&options](std::string error) {
    options.action = Options::Action::kError;
    options.error = std::move(error);
    return options;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = SwitchName(arg);
    if (name == "install") {
      options.action = Options::Action::kInstall;
    } else if (name == "uninstall") {
      options.action = Options::Action::kUninstall;
    } else if (name == "silent") {
      options.silent = true;
    } else if (arg == "--help" || arg == "-h") {
      options.action = Options::Action::kHelp;
    } else if (arg == "--version") {
      options.action = Options::Action::kVersion;
    } else if (arg == "--home" || arg == "--vlc-dir" || arg == "--web-port" ||
               arg == "--picture-port" || arg == "--server-port") {
      if (i + 1 >= args.size()) return fail("option " + arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--home") {
        options.config.home = value;
        options.home_given = true;
      } else if (arg == "--vlc-dir") {
        options.config.vlc_dir = value;
      } else {
        int* port = arg == "--web-port"       ? &options.config.web_port
                    : arg == "--picture-port" ? &options.config.picture_port
                                              : &options.config.server_port;
        if (!ParsePort(value, *port)) return fail("bad port for " + arg + ": " + value);
      }
    } else {
      return fail("unknown option: " + arg);
    }
  }
  return options;
}

std::string UsageText() {
  return "Usage: kestrin-videoserver [--home DIR] [--vlc-dir DIR] [--web-port N]\n"
         "                           [--picture-port N] [--server-port N]\n"
         "       kestrin-videoserver install|uninstall [silent] [--home DIR]\n"
         "       kestrin-videoserver --help | --version\n"
         "\n"
         "Without a switch the service runs in the foreground until SIGTERM or SIGINT.\n"
         "  --home DIR          folder of vs_settings.ini, videoserver.log, libfbclient.so.2\n"
         "                      and the default archive (default: the executable's folder)\n"
         "  --vlc-dir DIR       folder with libvlccore.so.9 and libvlc.so.5 (default: system)\n"
         "  --web-port N        web administration port (default 8035)\n"
         "  --picture-port N    picture server port (default 7727)\n"
         "  --server-port N     access-control server port (default 7712)\n"
         "  install, uninstall  write and enable, or disable and remove, the systemd unit\n"
         "                      (prefix / or -, any case); silent: no confirmation\n";
}

}  // namespace kestrin::app
