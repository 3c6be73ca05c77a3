#pragma once

// What the camera benchmarks share: the process's resident memory, and one
// camera worker with its own service state and libVLC, as the service runs it.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "capture/tvlc_thread.h"

namespace kestrin::bench {

// Resident set size in KiB, from /proc/self/statm.
inline long ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Camera worker 0 over a service state whose home is `home`, or a fresh
// temporary folder named after `name` and the process when `home` is empty.
class BenchCamera {
 public:
  BenchCamera(const std::string& name, const std::string& home) {
    service::ServiceConfig config;
    config.home = !home.empty() ? std::filesystem::path(home)
                                : std::filesystem::temp_directory_path() /
                                      (name + "_" + std::to_string(getpid()));
    std::filesystem::create_directories(config.home);
    state_ = std::make_unique<service::ServiceState>(config);
  }

  // Loads libVLC and starts the worker; false (logged) when libVLC is missing.
  bool Start() {
    if (!vlc_.LoadVlc("", state_->log())) return false;
    worker_ = std::make_unique<capture::TVLCThread>(0, vlc_.api(), *state_);
    worker_->Start();
    return true;
  }

  capture::TVLCThread& worker() { return *worker_; }

 private:
  std::unique_ptr<service::ServiceState> state_;
  service::VlcLibrary vlc_;
  std::unique_ptr<capture::TVLCThread> worker_;
};

}  // namespace kestrin::bench
