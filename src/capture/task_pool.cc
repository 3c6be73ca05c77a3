#include "capture/task_pool.h"

#include <algorithm>

namespace kestrin::capture {

TaskPool::TaskPool(size_t threads) {
  threads = std::max<size_t>(threads, 1);
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

TaskPool::~TaskPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void TaskPool::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    normal_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void TaskPool::PostUrgent(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    urgent_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void TaskPool::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !urgent_.empty() || !normal_.empty(); });
    std::deque<std::function<void()>>& queue = urgent_.empty() ? normal_ : urgent_;
    if (queue.empty()) return;  // stopping, and nothing left
    std::function<void()> task = std::move(queue.front());
    queue.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // what it holds is released outside the lock
    lock.lock();
  }
}

}  // namespace kestrin::capture
