// What one camera stream costs a camera worker: the time from giving it the
// address to the first picture in its frame store, then the process's CPU
// time, resident memory and pictures received over a steady period.
//
// usage: bench_camera_cost URL [SECONDS (default 20)] [HOME]
// Prints one CSV line: first_picture_ms,cpu_percent_of_one_core,rss_kib,fps,drops

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/camera_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int64_t Decoded(const kestrin::capture::FrameStore& store) {
  std::lock_guard lock(store.mutex());
  return const_cast<kestrin::capture::FrameStore&>(store).decoded_frames();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s URL [SECONDS] [HOME]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
  kestrin::bench::BenchCamera camera("kestrin_camera_cost", argc > 3 ? argv[3] : "");
  if (!camera.Start()) return 1;
  kestrin::capture::TVLCThread& worker = camera.worker();
  const auto given = Clock::now();
  worker.SetUrl(url);
  while (!worker.Status().active || Decoded(*worker.frames()) == 0) {
    if (Clock::now() - given > std::chrono::seconds(30)) {
      std::fprintf(stderr, "no picture within 30 s\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double first_ms = std::chrono::duration<double, std::milli>(Clock::now() - given).count();

  // A second of settling, then the steady period.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu_before = CpuSeconds();
  const int64_t frames_before = Decoded(*worker.frames());
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = (CpuSeconds() - cpu_before) / elapsed * 100;
  const double fps = (Decoded(*worker.frames()) - frames_before) / elapsed;
  const auto status = worker.Status();
  std::printf("%.0f,%.1f,%ld,%.1f,%d\n", first_ms, cpu, kestrin::bench::ResidentKib(), fps,
              status.restartcnt);
  worker.Stop();
  return 0;
}
