#pragma once

#include <atomic>
#include <chrono>

namespace kestrin::platform {

// The last moment a thread showed it was making progress. The thread calls
// Beat() once per turn of its loop; any other thread reads Last().
class Heartbeat {
 public:
  using Clock = std::chrono::steady_clock;

  Heartbeat() { Beat(); }

  void Beat() { last_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }

  Clock::time_point Last() const {
    return Clock::time_point(Clock::duration(last_.load(std::memory_order_relaxed)));
  }

 private:
  std::atomic<Clock::rep> last_;
};

}  // namespace kestrin::platform
