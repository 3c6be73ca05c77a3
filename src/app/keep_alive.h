#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/heartbeat.h"
#include "platform/main_loop.h"

namespace kestrin::app {

// Whether a keep-alive may go to systemd at `now`: only while the event
// thread's last heartbeat is at most `limit` old. (The main loop proves itself
// alive by running the tick that asks.)
bool EventThreadAlive(platform::Heartbeat::Clock::time_point now,
                      platform::Heartbeat::Clock::time_point last_beat,
                      std::chrono::nanoseconds limit);

// The status line for `systemctl status`, e.g. "3 cameras streaming, 120
// photos today".
std::string StatusLine(int cameras_streaming, int64_t photos_today);

// Keeps systemd's watchdog fed while the service really works. A timer on the
// main loop ticks at half the watchdog timeout; each tick sends WATCHDOG=1
// only when the event thread's heartbeat is fresh (younger than half the
// timeout), so a wedged main loop (no tick) and a wedged event thread (stale
// heartbeat) both stop the keep-alives and systemd restarts the service.
// Every tick also refreshes the status line, also without a watchdog.
class KeepAlive {
 public:
  struct Sinks {
    std::function<void()> ping;                      // default: platform::NotifyWatchdog
    std::function<void(const std::string&)> status;  // default: platform::NotifyStatus
  };

  // `timeout`: the watchdog timeout; zero means no watchdog (status only,
  // refreshed every `kStatusPeriod`). `status_text` runs on the main loop.
  KeepAlive(platform::MainLoop& loop, const platform::Heartbeat& event_thread,
            std::chrono::microseconds timeout, std::function<std::string()> status_text,
            Sinks sinks = {});
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

  void Start();  // the first tick follows after one period
  void Stop();

  static constexpr std::chrono::milliseconds kStatusPeriod{5000};

 private:
  void Tick();

  const platform::Heartbeat& event_thread_;
  std::chrono::microseconds timeout_;
  std::function<std::string()> status_text_;
  Sinks sinks_;
  std::string last_status_;
  platform::MainLoopTimer timer_;
};

}  // namespace kestrin::app
