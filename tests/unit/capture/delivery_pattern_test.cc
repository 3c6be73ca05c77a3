// What DeliveryPattern makes of a connection's picture arrival times.

#include "capture/delivery_pattern.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrin::capture {
namespace {

using Clock = DeliveryPattern::Clock;
using std::chrono::milliseconds;

// Arrival offsets in ms: `count` pictures from `start`, `step` apart, or in
// groups of `group` pictures 1 ms apart whose starts are `step` apart.
std::vector<int> Every(int start, int count, int step, int group = 1) {
  std::vector<int> times;
  for (int i = 0; i < count; ++i) times.push_back(start + (i / group) * step + i % group);
  return times;
}

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Feeds the offsets (after a fixed origin) and takes the verdict.
std::optional<std::string> Judge(DeliveryPattern& pattern, const std::vector<int>& offsets) {
  const Clock::time_point origin = Clock::now();
  for (int ms : offsets) pattern.Add(origin + milliseconds(ms));
  return pattern.TakeVerdict();
}

TEST(DeliveryPatternTest, JudgesTheWindowAfterTheStart) {
  // 15 s of arrivals: the first 3 s settle, the next 10 s are judged.
  std::vector<int> jittery = Every(0, 150, 100);
  for (size_t i = 0; i < jittery.size(); ++i) jittery[i] += static_cast<int>(i % 5) * 9 - 18;
  std::vector<int> gaps = Every(0, 150, 100);
  for (int& t : gaps) t += (t >= 6000 ? 600 : 0) + (t >= 9000 ? 600 : 0);
  const struct {
    const char* name;
    std::vector<int> offsets;
    std::optional<std::string> verdict;
  } cases[] = {
      {"even 10 per second", Every(0, 150, 100), std::nullopt},
      {"even with network jitter", jittery, std::nullopt},
      {"25 per second", Every(0, 400, 40), std::nullopt},
      {"start-up burst, then even", Join(Every(0, 30, 400, 30), Every(3000, 120, 100)),
       std::nullopt},
      {"bursts of 4", Every(0, 160, 400, 4),
       "pictures arrive in bursts of 4, a burst every 400 ms"},
      {"pairs", Every(0, 160, 200, 2), "pictures arrive in bursts of 2, a burst every 200 ms"},
      {"two gaps of 700 ms", gaps,
       "pictures arrive unevenly, gaps of up to 700 ms against 114 ms on average"},
      {"one per second, too few to judge", Every(0, 15, 1000), std::nullopt},
  };
  for (const auto& c : cases) {
    DeliveryPattern pattern;
    EXPECT_EQ(Judge(pattern, c.offsets), c.verdict) << c.name;
  }
}

TEST(DeliveryPatternTest, AnswersOnceAndOnlyOnceTheWindowIsOver) {
  DeliveryPattern pattern;
  // Bursts until 12.9 s: the window (3 s to 13 s) is not over yet.
  EXPECT_EQ(Judge(pattern, Every(0, 130, 400, 4)), std::nullopt);
  const Clock::time_point later = Clock::now() + milliseconds(20000);
  pattern.Add(later);
  EXPECT_TRUE(pattern.TakeVerdict().has_value());
  pattern.Add(later + milliseconds(100));
  EXPECT_EQ(pattern.TakeVerdict(), std::nullopt);

  // A new connection is judged afresh.
  pattern.Reset();
  EXPECT_EQ(Judge(pattern, Every(0, 160, 400, 4)),
            "pictures arrive in bursts of 4, a burst every 400 ms");
}

}  // namespace
}  // namespace kestrin::capture
