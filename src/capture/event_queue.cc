#include "capture/event_queue.h"

namespace kestrin::capture {

void EventQueue::Put(std::string item) {
  {
    std::lock_guard lock(lock_);
    items_.push_back(std::move(item));
  }
  queued_.notify_one();
}

std::optional<std::string> EventQueue::Take(size_t* count) {
  std::lock_guard lock(lock_);
  if (count) *count = items_.size();
  if (items_.empty()) return std::nullopt;
  std::string item = std::move(items_.front());
  items_.pop_front();
  return item;
}

void EventQueue::WaitFor(std::stop_token stop, std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  ++wait_count_;
  queued_.wait_for(lock, stop, timeout, [this] { return !items_.empty(); });
}

size_t EventQueue::size() const {
  std::lock_guard lock(lock_);
  return items_.size();
}

size_t EventQueue::wait_count() const {
  std::lock_guard lock(lock_);
  return wait_count_;
}

}  // namespace kestrin::capture
