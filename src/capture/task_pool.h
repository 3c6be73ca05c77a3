#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrin::capture {

// A fixed set of threads that run posted tasks, urgent ones before the rest,
// each kind in the order posted. With one thread it is a serial lane: its
// tasks run one after the other.
class TaskPool {
 public:
  // Starts `threads` threads (at least one).
  explicit TaskPool(size_t threads);
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  // Runs every task still queued (tasks may post more meanwhile), then joins.
  ~TaskPool();

  void Post(std::function<void()> task);
  // Runs before every task posted with Post that has not started yet.
  void PostUrgent(std::function<void()> task);

  size_t threads() const { return threads_.size(); }

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> urgent_;  // guarded by mutex_
  std::deque<std::function<void()>> normal_;  // guarded by mutex_
  bool stopping_ = false;                     // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace kestrin::capture
