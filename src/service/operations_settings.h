#pragma once

#include <string>

#include "service/settings_file.h"

namespace kestrin::service {

// The settings an administrator adds for running the service under
// monitoring, all optional:
//   [metrics] port     port of the metrics endpoint; 0 or absent: no endpoint
//   [metrics] address  address it listens on; default 127.0.0.1
//   [web] certfile     PEM certificate (chain) of the web administration
//   [web] keyfile      PEM private key; with certfile the web
//                      administration is served over HTTPS only
struct OperationsSettings {
  int metrics_port = 0;
  std::string metrics_address = "127.0.0.1";
  std::string certificate_file;
  std::string key_file;

  bool metrics_enabled() const { return metrics_port > 0 && metrics_port <= 65535; }
  // True when either file is named; both are then needed.
  bool https() const { return !certificate_file.empty() || !key_file.empty(); }
};

OperationsSettings ReadOperationsSettings(const SettingsFile& settings);

}  // namespace kestrin::service
