#include "transport/b_thread.h"

#include <thread>

namespace kestrin::transport {

void ThreadEndSignal::Signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_all();
}

bool ThreadEndSignal::Signalled() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

bool ThreadEndSignal::Wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return signalled_; });
}

TBThread::TBThread(platform::MainLoop& loop) : loop_(loop) {}

TBThread::~TBThread() = default;

void TBThread::Start() {
  if (started_.exchange(true)) return;
  std::shared_ptr<TBThread> self = shared_from_this();
  std::thread([self]() mutable {
    self->RunThread();
    std::shared_ptr<ThreadEndSignal> end = self->end_;
    self.reset();  // frees the object unless someone else still holds it
    end->Signal();
  }).detach();
}

void TBThread::RunThread() {
  try {
    Execute();
  } catch (...) {
    // An exception ends the thread; there is nobody to report it to.
  }
  try {
    ThreadEnded();
  } catch (...) {
  }
}

void TBThread::SetTerminated() {
  {
    std::lock_guard lock(terminate_mutex_);
    terminated_.store(true);
  }
  terminate_cv_.notify_all();
}

bool TBThread::WaitTerminated(std::chrono::milliseconds timeout) {
  std::unique_lock lock(terminate_mutex_);
  return terminate_cv_.wait_for(lock, timeout, [this] { return terminated_.load(); });
}

void TBThread::CallSynchronized(const std::function<void()>& handler) {
  loop_.CallSynchronized(handler);
}

}  // namespace kestrin::transport
