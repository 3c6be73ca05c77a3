#include "platform/resource_limits.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <limits>

namespace kestrin::platform {

uint64_t OpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<uint64_t>::max();
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}

void BlockBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace kestrin::platform
