#pragma once

#include <string>

namespace kestrin::platform {

// Tells systemd that start-up has finished (no-op outside systemd).
void NotifyReady();

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
