#include "capture/timer_queue.h"

namespace kestrin::capture {

TimerQueue::TimerQueue() : thread_([this](std::stop_token stop) { Run(stop); }) {}

TimerQueue::~TimerQueue() {
  Stop();
}

void TimerQueue::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  std::priority_queue<Entry, std::vector<Entry>, Later> dropped;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    dropped.swap(entries_);
  }
  // `dropped` is destroyed here, outside the lock: its tasks may hold what
  // gives more tasks on destruction.
}

void TimerQueue::At(Clock::time_point when, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // `task` is destroyed on return, outside the lock
    entries_.push(Entry{when, next_order_++, std::move(task)});
  }
  wake_.notify_one();
}

void TimerQueue::Run(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (entries_.empty()) {
      wake_.wait(lock, stop, [this] { return !entries_.empty(); });
      continue;
    }
    const Clock::time_point when = entries_.top().when;
    if (Clock::now() < when) {
      // Wakes early when an earlier task is given or on stop.
      wake_.wait_until(lock, stop, when, [&] { return entries_.top().when < when; });
      continue;
    }
    std::function<void()> task = std::move(const_cast<Entry&>(entries_.top()).task);
    entries_.pop();
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
  }
}

}  // namespace kestrin::capture
