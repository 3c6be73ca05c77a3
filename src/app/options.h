#pragma once

#include <string>
#include <vector>

#include "service/service_state.h"

namespace kestrin::app {

// What the command line asks for.
struct Options {
  enum class Action { kRun, kInstall, kUninstall, kHelp, kVersion, kError };
  Action action = Action::kRun;
  bool silent = false;
  service::ServiceConfig config;
  bool home_given = false;
  std::string error;  // for kError
};

// Parses the arguments after the program name. The switches install,
// uninstall and silent begin with "/" or "-" and are matched without regard
// to case; the options take their value in the next argument.
Options ParseOptions(const std::vector<std::string>& args);

// The usage text for --help and for errors.
std::string UsageText();

}  // namespace kestrin::app
