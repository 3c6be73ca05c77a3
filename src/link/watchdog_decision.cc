#include "link/watchdog_decision.h"

namespace kestrin::link {

int64_t WholeSecondsBetween(platform::DateTime a, platform::DateTime b) {
  auto difference = a > b ? a - b : b - a;
  return std::chrono::duration_cast<std::chrono::seconds>(difference).count();
}

WatchdogAction DecideWatchdog(const service::SessionSnapshot& s, platform::DateTime now) {
  int64_t quiet = WholeSecondsBetween(now, s.server_lastping);
  if (!s.server_connect) {
    bool credentials = !s.server_ip.empty() && !s.server_login.empty() && !s.server_pass.empty();
    return quiet > 10 && credentials ? WatchdogAction::kConnect : WatchdogAction::kNothing;
  }
  if (quiet > 75) return WatchdogAction::kCloseSilent;
  return s.db_path.empty() ? WatchdogAction::kRequestDatabase : WatchdogAction::kRefreshCameras;
}

}  // namespace kestrin::link
