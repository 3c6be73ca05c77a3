// How long an event waits between being queued and the start of its frame
// saver, over many events that each arrive while the event thread pauses
// (after a lone event or when idle).
//
//   bench_event_latency [events]    (default 1000)
//
// Prints percentiles of two spans: queue -> the event thread hands the job to
// the saver start, and queue -> the first instruction of a new thread started
// for it (what a saver on a thread of its own would see; the saving side,
// SaveService, hands the job to threads that are already running).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "capture/events_thread.h"
#include "service/service_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestrin;

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p / 100.0 * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void Report(const char* what, const std::vector<double>& micros) {
  std::printf("%-34s p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", what, Percentile(micros, 50),
              Percentile(micros, 99), Percentile(micros, 100));
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (events <= 0) return 2;

  service::ServiceConfig config;
  config.home = std::filesystem::temp_directory_path();
  service::ServiceState state(config);
  state.archive().SetPath("/nonexistent-archive");
  state.session().SetDatabase("/srv/base");

  std::atomic<Clock::time_point> queued{};
  std::atomic<int> handed{0};
  std::atomic<int> started{0};
  std::vector<double> to_hand_off(events), to_thread(events);

  capture::EventsThreadHooks hooks;
  hooks.load_rules = [] {
    return std::vector<capture::Rule>{capture::Rule{"0012A3B4C5D6", "0204", 1, 80, 0, 0}};
  };
  auto frames = std::make_shared<capture::FrameStore>();
  hooks.camera_status = [&](int) {
    capture::CameraStatus status;
    status.active = true;
    status.v_width = 640;
    status.v_height = 480;
    status.frames = frames;
    return std::optional<capture::CameraStatus>(status);
  };
  hooks.record_save = [](int, const std::string&) {};
  hooks.start_saver = [&](capture::SaveJob) {
    auto now = Clock::now();
    int i = handed.load();
    to_hand_off[i] = std::chrono::duration<double, std::micro>(now - queued.load()).count();
    std::thread([&, i] {
      auto now = Clock::now();
      to_thread[i] = std::chrono::duration<double, std::micro>(now - queued.load()).count();
      started.fetch_add(1);
      started.notify_all();
    }).detach();
    handed.fetch_add(1);
  };

  capture::EventQueue queue;
  capture::TEventsThread thread(queue, state.archive(), state.session(), state.metrics(), hooks);
  thread.Start();
  // The first reload happens at the first idle moment.
  while (queue.wait_count() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const std::string event =
      R"({"type":"event","time":"2021-08-12T14:05:09","dvs":"0012A3B4C5D6","ev1":"2","ev2":"4"})";
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> gap_us(0, 60000);  // within or past the 50 ms pause
  for (int i = 0; i < events; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
    queued.store(Clock::now());
    queue.Put(event);
    for (int seen = started.load(); seen <= i; seen = started.load()) started.wait(seen);
  }
  thread.Stop();

  std::printf("%d events, each queued alone\n", events);
  Report("queue -> saver start called", to_hand_off);
  Report("queue -> saver thread running", to_thread);
  return 0;
}
