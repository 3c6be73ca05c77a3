#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace kestrin::web {

// Runs the connections of a server each on a thread of its own, at most a
// fixed number at once.
class ConnectionThreads {
 public:
  // Starts `body` on a new detached thread; throws std::system_error when the
  // system has no thread to give.
  using StartThread = std::function<void(std::function<void()> body)>;

  // `start` is replaceable for tests.
  explicit ConnectionThreads(size_t limit, StartThread start = StartDetachedThread);
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Runs `task` on a thread of its own. False, with `task` neither run nor
  // kept, when `limit` tasks are running already or no thread could be
  // started.
  bool TryRun(const std::function<void()>& task);

  // Waits until every task started by TryRun has ended.
  void WaitIdle();

  // Tasks started and not yet ended.
  size_t running() const;

  static void StartDetachedThread(std::function<void()> body);

 private:
  void Done();

  const size_t limit_;
  const StartThread start_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  size_t running_ = 0;
};

}  // namespace kestrin::web
