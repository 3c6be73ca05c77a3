#include "platform/main_loop.h"

#include <future>

#include <asio/post.hpp>

namespace kestrin::platform {

struct MainLoop::PendingCall {
  const std::function<void()>* call = nullptr;
  std::promise<void> done;
  std::atomic<bool> claimed{false};
};

MainLoop::MainLoop() : work_(asio::make_work_guard(io_)) {}

MainLoop::~MainLoop() {
  Stop();
}

void MainLoop::Run() {
  main_thread_ = std::this_thread::get_id();
  if (!stopped_) io_.run();
  main_thread_ = std::thread::id();
}

void MainLoop::Stop() {
  std::set<std::shared_ptr<PendingCall>> pending;
  {
    std::lock_guard lock(pending_mutex_);
    if (stopped_.exchange(true)) return;
    pending.swap(pending_);
  }
  for (const auto& p : pending) {
    if (!p->claimed.exchange(true))
      p->done.set_exception(std::make_exception_ptr(MainLoopStopped()));
  }
  work_.reset();
  io_.stop();
}

void MainLoop::Post(std::function<void()> call) {
  asio::post(io_, std::move(call));
}

bool MainLoop::InMainThread() const {
  return main_thread_.load() == std::this_thread::get_id();
}

void MainLoop::CallSynchronized(const std::function<void()>& call) {
  if (InMainThread()) {
    call();
    return;
  }
  auto pending = std::make_shared<PendingCall>();
  pending->call = &call;
  std::future<void> done = pending->done.get_future();
  {
    std::lock_guard lock(pending_mutex_);
    if (stopped_) throw MainLoopStopped();
    pending_.insert(pending);
  }
  asio::post(io_, [this, pending] {
    {
      std::lock_guard lock(pending_mutex_);
      pending_.erase(pending);
    }
    if (pending->claimed.exchange(true)) return;
    try {
      (*pending->call)();
      pending->done.set_value();
    } catch (...) {
      pending->done.set_exception(std::current_exception());
    }
  });
  done.get();
}

MainLoopTimer::MainLoopTimer(MainLoop& loop, std::chrono::milliseconds interval,
                             std::function<void()> on_tick)
    : loop_(loop), on_tick_(std::move(on_tick)), timer_(loop.context()), interval_(interval) {}

MainLoopTimer::~MainLoopTimer() {
  auto stop = [this] {
    *alive_ = false;
    timer_.cancel();
  };
  try {
    if (!loop_.Stopped()) {
      loop_.CallSynchronized(stop);
      return;
    }
  } catch (const MainLoopStopped&) {
  }
  // The loop no longer runs: no tick can start any more.
  *alive_ = false;
}

void MainLoopTimer::SetEnabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
    ++generation_;
  }
  std::shared_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (*alive) Arm();
  });
}

void MainLoopTimer::SetInterval(std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(mutex_);
    interval_ = interval;
    ++generation_;
  }
  std::shared_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (*alive) Arm();
  });
}

std::chrono::milliseconds MainLoopTimer::Interval() const {
  std::lock_guard lock(mutex_);
  return interval_;
}

bool MainLoopTimer::Enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void MainLoopTimer::Arm() {
  uint64_t generation;
  std::chrono::milliseconds interval;
  {
    std::lock_guard lock(mutex_);
    timer_.cancel();
    if (!enabled_) return;
    generation = generation_;
    interval = interval_;
  }
  timer_.expires_after(interval);
  std::shared_ptr<bool> alive = alive_;
  timer_.async_wait([this, alive, generation](const std::error_code& ec) {
    if (ec || !*alive) return;
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || !enabled_) return;
    }
    on_tick_();
    if (!*alive) return;
    {
      // A tick that changed the settings has already re-armed the timer.
      std::lock_guard lock(mutex_);
      if (generation != generation_) return;
    }
    Arm();
  });
}

}  // namespace kestrin::platform
