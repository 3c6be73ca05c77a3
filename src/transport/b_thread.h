#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_loop.h"

namespace kestrin::transport {

// Signalled once when a TBThread's thread has ended and let go of its object.
// Shared between the thread and any handle that wants to wait for the end.
class ThreadEndSignal {
 public:
  void Signal();
  bool Signalled() const;
  // True when the signal came within `timeout`.
  bool Wait(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool signalled_ = false;
};

// Base of the transport's threads.
//
// Objects are always held by std::shared_ptr (create them with the factory of
// the concrete class). The thread is created suspended: nothing runs until
// Start(). From Start() on, the thread itself keeps the object alive; when
// Execute() has returned (or thrown) the thread runs ThreadEnded() and lets go
// of its reference, so the object frees itself unless somebody else still
// holds one. Owners therefore keep a std::weak_ptr (or a ConnectionHandle)
// rather than a plain pointer.
//
// Execute() runs on the new thread. An exception leaving it ends the thread
// quietly: it is neither reported nor rethrown.
class TBThread : public std::enable_shared_from_this<TBThread> {
 public:
  TBThread(const TBThread&) = delete;
  TBThread& operator=(const TBThread&) = delete;
  virtual ~TBThread();

  // Starts the thread. Only the first call has an effect.
  void Start();

  // The termination request: set on request, polled by the thread's loops.
  bool Terminated() const { return terminated_.load(); }

  // Signalled when the thread has ended; also usable after the object is gone.
  std::shared_ptr<const ThreadEndSignal> EndSignal() const { return end_; }

  platform::MainLoop& Loop() const { return loop_; }

 protected:
  explicit TBThread(platform::MainLoop& loop);

  // The thread's body.
  virtual void Execute() = 0;

  // Runs on the thread after Execute(), also after an exception, while the
  // thread still holds the object. Exceptions from it are swallowed.
  virtual void ThreadEnded() {}

  // Sets the termination request and wakes WaitTerminated().
  void SetTerminated();

  // The termination request itself, for waits that poll it.
  const std::atomic<bool>& TerminatedFlag() const { return terminated_; }

  // Waits until the termination request is set or `timeout` has passed; true
  // when it is set. The thread's loops sleep with this so that a request ends
  // the sleep at once.
  bool WaitTerminated(std::chrono::milliseconds timeout);

  // Runs `handler` on the main thread (the thread running the main loop) and
  // blocks until it has returned; on the main thread itself it runs directly.
  // An exception thrown by the handler is thrown again here, and so is
  // platform::MainLoopStopped once the loop no longer runs. Callers test that
  // an event is assigned before calling, so that an unassigned event costs no
  // hand-off.
  void CallSynchronized(const std::function<void()>& handler);

 private:
  void RunThread();

  platform::MainLoop& loop_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::mutex terminate_mutex_;
  std::condition_variable terminate_cv_;
  std::shared_ptr<ThreadEndSignal> end_ = std::make_shared<ThreadEndSignal>();
};

}  // namespace kestrin::transport
