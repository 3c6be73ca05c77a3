#include "app/hang_diagnostic.h"

#include <unistd.h>

#include <csignal>

namespace kestrin::app {

int HangDiagnostic::MainLoopSignal() {
  return SIGRTMIN + 1;
}

int HangDiagnostic::EventThreadSignal() {
  return SIGRTMIN + 2;
}

HangDiagnostic::HangDiagnostic(platform::MainLoop& loop)
    : signals_(loop.context(), MainLoopSignal(), EventThreadSignal()) {
  Wait();
}

HangDiagnostic::~HangDiagnostic() {
  std::error_code ignored;
  signals_.cancel(ignored);
}

void HangDiagnostic::Wait() {
  signals_.async_wait([this](const std::error_code& ec, int signal) {
    if (ec) return;
    if (signal == MainLoopSignal()) {
      for (;;) ::pause();  // the main loop hangs here for good
    }
    hold_events_ = true;
    Wait();
  });
}

void HangDiagnostic::EventThreadTurn(std::stop_token stop) {
  if (!hold_events_) return;
  std::unique_lock lock(mutex_);
  wake_.wait(lock, stop, [] { return false; });
}

}  // namespace kestrin::app
