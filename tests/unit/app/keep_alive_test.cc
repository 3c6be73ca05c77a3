#include "app/keep_alive.h"

#include <gtest/gtest.h>

namespace kestrin::app {
namespace {

using namespace std::chrono_literals;

TEST(KeepAliveTest, PingsOnlyWhileTheEventThreadBeatsWithinTheLimit) {
  const auto now = platform::Heartbeat::Clock::time_point(100s);
  struct Case {
    std::chrono::nanoseconds beat_age;
    bool alive;
  } cases[] = {
      {0s, true},       {14999ms, true}, {15s, true},  // the limit itself still counts
      {15001ms, false}, {1h, false},     {-1s, true},  // a beat stamped after `now` was read: fresh
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.beat_age.count());
    EXPECT_EQ(EventThreadAlive(now, now - c.beat_age, 15s), c.alive);
  }
}

TEST(KeepAliveTest, StatusLine) {
  EXPECT_EQ(StatusLine(3, 120), "3 cameras streaming, 120 photos today");
  EXPECT_EQ(StatusLine(1, 1), "1 camera streaming, 1 photo today");
  EXPECT_EQ(StatusLine(0, 0), "0 cameras streaming, 0 photos today");
}

}  // namespace
}  // namespace kestrin::app
