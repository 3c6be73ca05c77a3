#include "link/watchdog_decision.h"

#include <gtest/gtest.h>

#include "link/camera_addresses.h"

namespace kestrin::link {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(WatchdogDecisionTest, Table) {
  const platform::DateTime now = platform::MakeLocalDateTime(2026, 12, 10, 12, 0, 0);
  struct Case {
    const char* name;
    bool connected;
    platform::DateTime lastping;
    const char* login;
    const char* pass;
    const char* db_path;
    WatchdogAction action;
  } cases[] = {
      {"never pinged, credentials", false, platform::DateTime{}, "admin", "D", "",
       WatchdogAction::kConnect},
      {"quiet 11 s", false, now - seconds(11), "admin", "D", "", WatchdogAction::kConnect},
      {"quiet 10.9 s is 10 whole seconds", false, now - milliseconds(10900), "admin", "D", "",
       WatchdogAction::kNothing},
      {"quiet 10 s", false, now - seconds(10), "admin", "D", "", WatchdogAction::kNothing},
      {"no login", false, now - seconds(60), "", "D", "", WatchdogAction::kNothing},
      {"no digest", false, now - seconds(60), "admin", "", "", WatchdogAction::kNothing},
      {"lastping in the future by 11 s", false, now + seconds(11), "admin", "D", "",
       WatchdogAction::kConnect},
      {"silent 75 s", true, now - seconds(75), "admin", "D", "", WatchdogAction::kRequestDatabase},
      {"silent 75.9 s", true, now - milliseconds(75900), "admin", "D", "/db",
       WatchdogAction::kRefreshCameras},
      {"silent 76 s", true, now - seconds(76), "admin", "D", "/db", WatchdogAction::kCloseSilent},
      {"logged in, no database", true, now, "admin", "D", "", WatchdogAction::kRequestDatabase},
      {"logged in, database", true, now, "", "", "/db", WatchdogAction::kRefreshCameras},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service::SessionSnapshot s;
    s.server_connect = c.connected;
    s.server_lastping = c.lastping;
    s.server_ip = "127.0.0.1";
    s.server_login = c.login;
    s.server_pass = c.pass;
    s.db_path = c.db_path;
    EXPECT_EQ(DecideWatchdog(s, now), c.action);
  }
}

TEST(WatchdogDecisionTest, EmptyAddressNeverConnects) {
  service::SessionSnapshot s;
  s.server_login = "admin";
  s.server_pass = "D";
  EXPECT_EQ(DecideWatchdog(s, platform::Now()), WatchdogAction::kNothing);
}

TEST(CameraAddressesTest, RowsToNineAddresses) {
  std::vector<CameraRow> rows = {{0, "udp://zero"},  {10, "udp://ten"}, {3, "http://a"},
                                 {1, "file:///one"}, {3, "http://b"},   {9, "http://nine"},
                                 {-1, "x"}};
  std::array<std::string, kCameraCount> addresses = CameraAddresses(rows);
  EXPECT_EQ(addresses[0], "file:///one");
  EXPECT_EQ(addresses[1], "");
  EXPECT_EQ(addresses[2], "http://b");  // the later row with the same ID wins
  EXPECT_EQ(addresses[8], "http://nine");
  for (int i : {1, 3, 4, 5, 6, 7}) EXPECT_EQ(addresses[i], "") << i;
}

}  // namespace
}  // namespace kestrin::link
