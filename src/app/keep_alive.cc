#include "app/keep_alive.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/systemd.h"

namespace kestrin::app {
namespace {

std::chrono::milliseconds Period(std::chrono::microseconds timeout) {
  if (timeout.count() <= 0) return KeepAlive::kStatusPeriod;
  return std::max(std::chrono::milliseconds(1),
                  std::chrono::duration_cast<std::chrono::milliseconds>(timeout / 2));
}

}  // namespace

bool EventThreadAlive(platform::Heartbeat::Clock::time_point now,
                      platform::Heartbeat::Clock::time_point last_beat,
                      std::chrono::nanoseconds limit) {
  return now - last_beat <= limit;
}

std::string StatusLine(int cameras_streaming, int64_t photos_today) {
  return fmt::format("{} camera{} streaming, {} photo{} today", cameras_streaming,
                     cameras_streaming == 1 ? "" : "s", photos_today, photos_today == 1 ? "" : "s");
}

KeepAlive::KeepAlive(platform::MainLoop& loop, const platform::Heartbeat& event_thread,
                     std::chrono::microseconds timeout, std::function<std::string()> status_text,
                     Sinks sinks)
    : event_thread_(event_thread),
      timeout_(timeout),
      status_text_(std::move(status_text)),
      sinks_(std::move(sinks)),
      timer_(loop, Period(timeout), [this] { Tick(); }) {
  if (!sinks_.ping) sinks_.ping = platform::NotifyWatchdog;
  if (!sinks_.status) sinks_.status = platform::NotifyStatus;
}

void KeepAlive::Start() {
  timer_.SetEnabled(true);
}

void KeepAlive::Stop() {
  timer_.SetEnabled(false);
}

void KeepAlive::Tick() {
  if (timeout_.count() > 0 &&
      EventThreadAlive(platform::Heartbeat::Clock::now(), event_thread_.Last(), timeout_ / 2)) {
    sinks_.ping();
  }
  std::string status = status_text_();
  if (status != last_status_) {
    sinks_.status(status);
    last_status_ = std::move(status);
  }
}

}  // namespace kestrin::app
