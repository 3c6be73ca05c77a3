#pragma once

#include <cstdint>
#include <string>

#include "platform/local_time.h"

namespace kestrin::link {

// The copies one watchdog tick decides from, taken under the settings lock.
struct WatchdogSnapshot {
  std::string db_path;
  bool server_connect = false;
  std::string server_ip;
  std::string server_login;
  std::string server_pass;
  platform::DateTime server_lastping{};
};

enum class WatchdogAction {
  kNothing,
  kConnect,          // no session, quiet for more than 10 s, credentials known
  kCloseSilent,      // logged in, silent for more than 75 s
  kRequestDatabase,  // logged in, no database known yet
  kRefreshCameras,   // logged in, database known
};

// Whole seconds between two times: the absolute difference, fraction cut off.
int64_t WholeSecondsBetween(platform::DateTime a, platform::DateTime b);

// The decision of one tick.
WatchdogAction DecideWatchdog(const WatchdogSnapshot& s, platform::DateTime now);

}  // namespace kestrin::link
