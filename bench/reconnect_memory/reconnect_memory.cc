// Reconnects one camera worker to a stream many times and prints the
// process's resident memory along the way, to show that every dropped
// connection gives back its libVLC instance, player and buffers.
//
// usage: bench_reconnect_memory URL [RECONNECTS (default 1000)] [HOME]
// Each reconnect is a restart request (code 2) once the stream is active.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/camera_bench.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s URL [RECONNECTS] [HOME]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const int reconnects = argc > 2 ? std::atoi(argv[2]) : 1000;
  kestrin::bench::BenchCamera camera("kestrin_reconnect", argc > 3 ? argv[3] : "");
  if (!camera.Start()) return 1;
  kestrin::capture::TVLCThread& worker = camera.worker();
  worker.SetUrl(url);

  const auto start = std::chrono::steady_clock::now();
  int done = 0;
  std::printf("reconnects,seconds,rss_kib\n");
  while (done <= reconnects) {
    const auto status = worker.Status();
    if (status.restartcnt != done) {
      done = status.restartcnt;
      continue;
    }
    if (!status.active) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (done <= 1 || done % 50 == 0 || done == reconnects) {
      std::printf("%d,%.1f,%ld\n", done,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  kestrin::bench::ResidentKib());
      std::fflush(stdout);
    }
    if (done == reconnects) break;
    // Let a few pictures arrive, then ask for a reconnect.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (worker.RequestRestart()) {
      while (worker.Status().restartcnt == done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ++done;
    }
  }
  worker.Stop();
  return 0;
}
