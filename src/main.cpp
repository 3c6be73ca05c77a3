// kestrin-videoserver: photo evidence for an access-control installation.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <thread>

#include <asio/signal_set.hpp>

#include "app/kestrin_videoserver.h"
#include "app/options.h"
#include "link/bounded_call.h"
#include "platform/allocator.h"
#include "platform/home.h"
#include "platform/systemd.h"
#include "service/version.h"

namespace {

using kestrin::app::Options;

constexpr const char* kServiceName = "kestrin-videoserver";
constexpr const char* kDescription = "Kestrin Контроль доступа - Видеосервер";
constexpr const char* kUnitDir = "/etc/systemd/system";

std::string ShellQuote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

int Install(const Options& options) {
  std::string exe = (kestrin::platform::ExecutableDir() / "kestrin-videoserver").string();
  kestrin::platform::UnitDescription unit{
      kServiceName, kDescription,
      ShellQuote(exe) + " --home " + ShellQuote(options.config.home.string())};
  std::string error = kestrin::platform::InstallUnit(unit, kUnitDir);
  if (!error.empty()) {
    std::cerr << "install failed: " << error << "\n";
    return 1;
  }
  if (!options.silent) std::cout << "Service " << kServiceName << " installed.\n";
  return 0;
}

int Uninstall(const Options& options) {
  std::string error = kestrin::platform::UninstallUnit(kServiceName, kUnitDir);
  if (!error.empty()) {
    std::cerr << "uninstall failed: " << error << "\n";
    return 1;
  }
  if (!options.silent) std::cout << "Service " << kServiceName << " removed.\n";
  return 0;
}

// Runs the service in the foreground: the main thread runs the message loop,
// a service thread runs start, waits for SIGTERM or SIGINT, and runs stop.
int Run(const Options& options) {
  kestrin::platform::ReturnLargeBlocksToSystem();
  kestrin::platform::MainLoop loop;
  kestrin::app::TKestrinVideoserver service(options.config, loop);
  std::promise<void> stop_requested;
  std::future<void> stop_future = stop_requested.get_future();

  asio::signal_set signals(loop.context(), SIGTERM, SIGINT);
  signals.async_wait([&stop_requested](const std::error_code& ec, int) {
    if (!ec) stop_requested.set_value();
  });
  std::signal(SIGPIPE, SIG_IGN);

  int exit_code = 0;
  std::thread service_thread([&] {
    bool started = false;
    try {
      started = service.ServiceStart();
    } catch (const std::exception& e) {
      std::cerr << "start failed: " << e.what() << "\n";
    }
    if (!started) {
      exit_code = 1;
      loop.Stop();
      return;
    }
    kestrin::platform::NotifyReady();
    stop_future.wait();
    try {
      service.ServiceStop();
    } catch (const std::exception& e) {
      std::cerr << "stop: " << e.what() << "\n";
    }
    loop.Stop();
  });
  loop.Run();
  service_thread.join();
  signals.cancel();
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = kestrin::app::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.home_given) options.config.home = kestrin::platform::ExecutableDir();
  std::error_code ec;
  options.config.home = std::filesystem::absolute(options.config.home, ec);

  switch (options.action) {
    case Options::Action::kError:
      std::cerr << options.error << "\n" << kestrin::app::UsageText();
      return 2;
    case Options::Action::kHelp:
      std::cout << kestrin::app::UsageText();
      return 0;
    case Options::Action::kVersion:
      std::cout << "kestrin-videoserver " << KESTRIN_VERSION_TEXT << "\n";
      return 0;
    case Options::Action::kInstall:
      return Install(options);
    case Options::Action::kUninstall:
      return Uninstall(options);
    case Options::Action::kRun:
      break;
  }
  const int exit_code = Run(options);
  if (kestrin::link::RunningBoundedCalls() > 0) {
    // A database connect that never came back is still waiting for its
    // server; the client library's exit handler would wait for it too, for
    // minutes. Everything of the service has ended and is written.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(exit_code);
  }
  return exit_code;
}
