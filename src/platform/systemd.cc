#include "platform/systemd.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

namespace kestrin::platform {
namespace {

std::string UnitPath(const std::string& name, const std::string& unit_dir) {
  return unit_dir + "/" + name + ".service";
}

// Runs systemctl when the machine has systemd running; silently nothing otherwise
// (a container or chroot), so the unit file still gets written.
void Systemctl(const std::string& args) {
  if (!std::filesystem::exists("/run/systemd/system")) return;
  std::string command = "systemctl " + args + " >/dev/null 2>&1";
  (void)std::system(command.c_str());
}

}  // namespace

void NotifyReady() {
  sd_notify(0, "READY=1");
}

std::chrono::microseconds WatchdogTimeout() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec);
}

void NotifyWatchdog() {
  sd_notify(0, "WATCHDOG=1");
}

void NotifyStatus(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

std::string UnitFileText(const UnitDescription& unit) {
  return fmt::format(
      "[Unit]\n"
      "Description={}\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart={}\n"
      "WatchdogSec=30\n"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      "# Enough descriptors for the web and picture connection caps.\n"
      "LimitNOFILE=8192\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      unit.description, unit.exec_start);
}

std::string InstallUnit(const UnitDescription& unit, const std::string& unit_dir) {
  std::string path = UnitPath(unit.name, unit_dir);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot write " + path;
    out << UnitFileText(unit);
    if (!out.flush()) return "cannot write " + path;
  }
  Systemctl("daemon-reload");
  Systemctl("enable " + unit.name + ".service");
  return "";
}

std::string UninstallUnit(const std::string& name, const std::string& unit_dir) {
  Systemctl("disable --now " + name + ".service");
  std::string path = UnitPath(name, unit_dir);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) return "cannot remove " + path + ": " + ec.message();
  Systemctl("daemon-reload");
  return "";
}

}  // namespace kestrin::platform
