// Watches a folder and prints one line per file closed after writing:
//
//   <CLOCK_MONOTONIC nanoseconds> <size in bytes> <file name>
//
// The time is taken as soon as the kernel hands over the close notification,
// on the clock that Python's time.monotonic() reads, so that benchmark
// drivers can subtract the moment they sent an event. Prints "ready" once
// the watch is in place; ends at SIGTERM, SIGINT or when the folder goes.
//
// usage: bench_photo_watch DIR

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

long long MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const char* dir = argv[1];
  const int fd = ::inotify_init1(IN_CLOEXEC);
  if (fd < 0 || ::inotify_add_watch(fd, dir, IN_CLOSE_WRITE | IN_DELETE_SELF) < 0) {
    std::perror("inotify");
    return 1;
  }
  // Default actions end the process; the kernel drops the watch with it.
  std::signal(SIGPIPE, SIG_DFL);
  std::printf("ready\n");
  std::fflush(stdout);

  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    const long long now = MonotonicNs();
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & (IN_DELETE_SELF | IN_IGNORED)) return 0;
      if (!(event->mask & IN_CLOSE_WRITE) || event->len == 0) continue;
      const char* name = event->name;
      const std::string path = std::string(dir) + "/" + name;
      struct stat info {};
      const long long size =
          ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
      std::printf("%lld %lld %s\n", now, size, name);
    }
    std::fflush(stdout);
  }
}
