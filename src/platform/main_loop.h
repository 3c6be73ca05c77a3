#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace kestrin::platform {

// The message loop of the process's main thread. Timer ticks and the hand-offs
// of the connection threads run here and nowhere else, so they never overlap.
class MainLoop {
 public:
  MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;
  ~MainLoop();

  // Runs the loop on the calling thread, which becomes the main thread, until
  // Stop() is called.
  void Run();

  // Ends Run(). Calls waiting in CallSynchronized that have not started fail
  // with MainLoopStopped. Any thread.
  void Stop();

  // Queues `call` to run on the main thread. Any thread.
  void Post(std::function<void()> call);

  // Runs `call` on the main thread and waits until it has returned. An
  // exception thrown by `call` is rethrown here. On the main thread the call
  // runs directly. Throws MainLoopStopped when the loop has stopped.
  void CallSynchronized(const std::function<void()>& call);

  bool InMainThread() const;
  bool Stopped() const { return stopped_.load(); }

  asio::io_context& context() { return io_; }

 private:
  struct PendingCall;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> main_thread_{};
  std::atomic<bool> stopped_{false};
  std::mutex pending_mutex_;
  std::set<std::shared_ptr<PendingCall>> pending_;
};

// Raised by CallSynchronized when the main loop no longer runs.
class MainLoopStopped : public std::runtime_error {
 public:
  MainLoopStopped() : std::runtime_error("main loop stopped") {}
};

// A timer whose ticks run on the main loop, like a window timer: while enabled
// it fires every `interval`; changing the interval or enabling it starts the
// count anew. All methods may be called from any thread.
class MainLoopTimer {
 public:
  MainLoopTimer(MainLoop& loop, std::chrono::milliseconds interval, std::function<void()> on_tick);
  MainLoopTimer(const MainLoopTimer&) = delete;
  MainLoopTimer& operator=(const MainLoopTimer&) = delete;
  ~MainLoopTimer();

  void SetEnabled(bool enabled);
  void SetInterval(std::chrono::milliseconds interval);
  std::chrono::milliseconds Interval() const;
  bool Enabled() const;

 private:
  // Re-arms the timer with the current settings; main thread only.
  void Arm();

  MainLoop& loop_;
  std::function<void()> on_tick_;
  asio::steady_timer timer_;
  mutable std::mutex mutex_;
  std::chrono::milliseconds interval_;
  bool enabled_ = false;
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrin::platform
