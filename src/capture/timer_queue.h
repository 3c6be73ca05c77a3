#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace kestrin::capture {

// One thread that runs each task when its time has come; tasks due at the
// same time run in the order they were given. Tasks should be short (they
// hand work on): a long one delays the ones due after it.
class TimerQueue {
 public:
  using Clock = std::chrono::steady_clock;

  TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;
  // Stops.
  ~TimerQueue();

  // Joins the thread; tasks not yet due are destroyed without running, and so
  // is any task given afterwards. Safe to call more than once.
  void Stop();

  void At(Clock::time_point when, std::function<void()> task);

 private:
  struct Entry {
    Clock::time_point when;
    uint64_t order;
    std::function<void()> task;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.order > b.order;
    }
  };

  void Run(std::stop_token stop);

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::priority_queue<Entry, std::vector<Entry>, Later> entries_;  // guarded by mutex_
  uint64_t next_order_ = 0;                                        // guarded by mutex_
  bool stopped_ = false;                                           // guarded by mutex_
  std::jthread thread_;
};

}  // namespace kestrin::capture
