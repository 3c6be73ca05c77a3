#include "web/connection_threads.h"

#include <system_error>
#include <thread>

namespace kestrin::web {

ConnectionThreads::ConnectionThreads(size_t limit, StartThread start)
    : limit_(limit), start_(std::move(start)) {}

void ConnectionThreads::StartDetachedThread(std::function<void()> body) {
  std::thread(std::move(body)).detach();
}

bool ConnectionThreads::TryRun(const std::function<void()>& task) {
  {
    std::lock_guard lock(mutex_);
    if (running_ >= limit_) return false;
    ++running_;
  }
  try {
    start_([this, task = task]() mutable {
      task();
      task = nullptr;  // whatever the task holds goes before the count drops
      Done();
    });
  } catch (const std::system_error&) {
    Done();
    return false;
  }
  return true;
}

void ConnectionThreads::Done() {
  std::lock_guard lock(mutex_);
  --running_;
  // Under the lock: once WaitIdle has seen zero, no thread touches this
  // object any more.
  idle_.notify_all();
}

void ConnectionThreads::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return running_ == 0; });
}

size_t ConnectionThreads::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

}  // namespace kestrin::web
