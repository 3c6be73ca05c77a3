#include "service/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrin::service {
namespace {

using std::chrono::seconds;

const platform::DateTime kArrival = platform::MakeLocalDateTime(2031, 5, 6, 7, 8, 9);
const platform::DateTime kLater = kArrival + seconds(30);

TEST(SessionTest, LoginAndEndChangeTheFlagAndItsTimesTogether) {
  Session session;
  session.SetCredentials("10.0.0.5", "admin", "DIGEST");
  SessionSnapshot welcomed = session.MarkWelcomed(kArrival, kLater);
  EXPECT_TRUE(welcomed.server_connect);
  EXPECT_EQ(welcomed.server_lastping, kArrival);
  EXPECT_EQ(welcomed.session_started, kLater);
  EXPECT_EQ(welcomed.server_login, "admin");  // what the login saves

  session.MarkMessage(kLater, /*counts_as_ping=*/false);  // a database answer
  EXPECT_EQ(session.Snapshot().server_lastping, kArrival);
  EXPECT_EQ(session.Snapshot().last_message, kLater);
  session.MarkMessage(kLater, /*counts_as_ping=*/true);
  EXPECT_EQ(session.Snapshot().server_lastping, kLater);

  // A close from the server leaves the last sign of life; the Watchdog's own
  // close of a silent session restarts the quiet spell.
  session.MarkEnded();
  SessionSnapshot ended = session.Snapshot();
  EXPECT_FALSE(ended.server_connect);
  EXPECT_EQ(ended.server_lastping, kLater);
  EXPECT_EQ(ended.session_started, platform::NeverMark());
  EXPECT_EQ(ended.last_message, platform::NeverMark());
  session.MarkEnded(kArrival);
  EXPECT_EQ(session.Snapshot().server_lastping, kArrival);
  EXPECT_EQ(session.Snapshot().server_ip, "10.0.0.5");  // credentials stay
}

TEST(SessionTest, ResetForgetsTheSessionAndTheDatabaseButKeepsTheCredentials) {
  Session session;
  session.SetCredentials("10.0.0.5", "admin", "DIGEST");
  session.MarkWelcomed(kArrival, kArrival);
  session.SetDatabase("/srv/base");
  EXPECT_TRUE(session.DatabaseKnown());
  session.Reset();
  SessionSnapshot s = session.Snapshot();
  EXPECT_FALSE(s.server_connect);
  EXPECT_FALSE(session.DatabaseKnown());
  EXPECT_EQ(s.session_started, platform::NeverMark());
  EXPECT_EQ(s.server_pass, "DIGEST");
}

// A reader on another thread never sees a session logged in without its
// start time, or ended with one left over.
TEST(SessionTest, ReadersNeverSeeHalfAnUpdate) {
  Session session;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 5000; ++i) {
      session.MarkWelcomed(kArrival, kLater);
      session.MarkEnded(kArrival);
    }
    done = true;
  });
  int torn = 0;
  while (!done) {
    SessionSnapshot s = session.Snapshot();
    if (s.server_connect != (s.session_started == kLater)) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace kestrin::service
