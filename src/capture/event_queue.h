#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

namespace kestrin::capture {

// The command item: reload the rules once the queue has run empty.
inline constexpr const char* kUpdateCommand = "update";

// The event queue: first in, first out, no size limit, guarded by the queue
// lock. Producers are the session handler (event messages, "update"), the
// rules editor ("update") and the demonstration page (events); the event
// thread is the only consumer.
class EventQueue {
 public:
  EventQueue() = default;
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Appends `item` at the tail and wakes the consumer. Any thread.
  void Put(std::string item);

  // Removes the item at the head. `count` receives the number of items that
  // were queued before the call; nullopt when there were none.
  std::optional<std::string> Take(size_t* count = nullptr);

  // Waits until the queue holds an item, `timeout` has passed or `stop` is
  // requested, whichever comes first. Returns at once when an item is queued.
  void WaitFor(std::stop_token stop, std::chrono::milliseconds timeout);

  size_t size() const;
  // How many times WaitFor has been called: lets tests and benchmarks see
  // whether the consumer paused between items.
  size_t wait_count() const;

 private:
  mutable std::mutex lock_;  // the queue lock
  std::condition_variable_any queued_;
  std::deque<std::string> items_;
  size_t wait_count_ = 0;
};

}  // namespace kestrin::capture
