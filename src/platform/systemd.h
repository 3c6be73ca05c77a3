#pragma once

#include <chrono>
#include <string>

namespace kestrin::platform {

// Tells systemd that start-up has finished (no-op outside systemd).
void NotifyReady();

// The watchdog time systemd expects keep-alives within (WatchdogSec= of the
// unit, passed as WATCHDOG_USEC), or zero when no watchdog watches this
// process.
std::chrono::microseconds WatchdogTimeout();

// Sends one keep-alive (WATCHDOG=1).
void NotifyWatchdog();

// Sets the one-line status `systemctl status` shows (STATUS=).
void NotifyStatus(const std::string& text);

// What goes into the unit file.
struct UnitDescription {
  std::string name;         // unit name without ".service"
  std::string description;  // Description=
  std::string exec_start;   // the whole command line
};

// The text of the unit file.
std::string UnitFileText(const UnitDescription& unit);

// Writes /etc/systemd/system/<name>.service (or into `unit_dir`) and enables it
// with systemctl. Returns an error text, empty on success.
std::string InstallUnit(const UnitDescription& unit, const std::string& unit_dir);

// Disables the unit and removes its file. Returns an error text, empty on success.
std::string UninstallUnit(const std::string& name, const std::string& unit_dir);

}  // namespace kestrin::platform
