#pragma once

#include <cstdint>

namespace kestrin::platform {

// The process's current (soft) limit on open file descriptors; a very large
// number when there is none.
uint64_t OpenFileLimit();

// Blocks SIGPIPE for the calling thread, so that writing to a socket whose
// peer has gone fails with EPIPE instead of ending the process. For threads
// that send with calls that take no MSG_NOSIGNAL, such as sendfile.
void BlockBrokenPipeSignal();

}  // namespace kestrin::platform
