#pragma once

#include <chrono>
#include <map>
#include <mutex>

namespace kestrin::web {

// Lets an action through at most once per interval for each key (a camera
// number, a kind of message). Safe to call from any thread.
class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimit(Clock::duration interval) : interval_(interval) {}

  // True when `key` was not let through during the interval before `now`;
  // it then counts as let through at `now`. A refused call changes nothing.
  bool Allow(int key, Clock::time_point now = Clock::now());

 private:
  const Clock::duration interval_;
  std::mutex mutex_;
  std::map<int, Clock::time_point> last_;
};

}  // namespace kestrin::web
