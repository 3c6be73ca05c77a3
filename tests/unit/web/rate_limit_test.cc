#include "web/rate_limit.h"

#include <gtest/gtest.h>

namespace kestrin::web {
namespace {

using std::chrono::milliseconds;

TEST(RateLimitTest, OncePerIntervalForEachKey) {
  RateLimit limit(milliseconds(5000));
  const RateLimit::Clock::time_point t0{};
  struct Case {
    int key;
    int at_ms;
    bool allowed;
  } cases[] = {
      {1, 0, true},      // first time
      {1, 10, false},    //
      {2, 10, true},     // another key has its own interval
      {1, 4999, false},  // just inside the interval
      {1, 5000, true},   // the interval has passed
      {1, 9999, false},  // counted from the last one let through, not from a refused one
      {2, 5009, false},  //
      {2, 5010, true},   //
      {1, 60000, true},  //
  };
  for (const Case& c : cases) {
    EXPECT_EQ(limit.Allow(c.key, t0 + milliseconds(c.at_ms)), c.allowed)
        << "key " << c.key << " at " << c.at_ms;
  }
}

}  // namespace
}  // namespace kestrin::web
