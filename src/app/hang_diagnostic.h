#pragma once

#include <asio/signal_set.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "platform/main_loop.h"

namespace kestrin::app {

// A diagnostic for administrators (and the tests) to check that systemd
// restarts a hung service: two real-time signals make a thread hang on
// purpose, exactly as a deadlock would.
//   SIGRTMIN+1: the main loop stops running (nothing ends the hang; systemd
//               or a SIGKILL must end the process).
//   SIGRTMIN+2: the event thread stops taking events until the service stops.
// Either stops the watchdog keep-alives.
class HangDiagnostic {
 public:
  explicit HangDiagnostic(platform::MainLoop& loop);
  HangDiagnostic(const HangDiagnostic&) = delete;
  HangDiagnostic& operator=(const HangDiagnostic&) = delete;
  ~HangDiagnostic();

  // Called by the event thread once per turn: returns at once, or, after
  // SIGRTMIN+2, only once `stop` is requested.
  void EventThreadTurn(std::stop_token stop);

  static int MainLoopSignal();
  static int EventThreadSignal();

 private:
  void Wait();

  asio::signal_set signals_;
  std::atomic<bool> hold_events_{false};
  std::mutex mutex_;
  std::condition_variable_any wake_;
};

}  // namespace kestrin::app
