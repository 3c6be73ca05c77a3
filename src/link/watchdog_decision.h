#pragma once

#include <cstdint>
#include <string>

#include "platform/local_time.h"
#include "service/session.h"

namespace kestrin::link {

enum class WatchdogAction {
  kNothing,
  kConnect,          // no session, quiet for more than 10 s, credentials known
  kCloseSilent,      // logged in, silent for more than 75 s
  kRequestDatabase,  // logged in, no database known yet
  kRefreshCameras,   // logged in, database known
};

// Whole seconds between two times: the absolute difference, fraction cut off.
int64_t WholeSecondsBetween(platform::DateTime a, platform::DateTime b);

// The decision of one tick, on a snapshot of the session.
WatchdogAction DecideWatchdog(const service::SessionSnapshot& s, platform::DateTime now);

}  // namespace kestrin::link
