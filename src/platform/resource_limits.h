#pragma once

#include <cstdint>

namespace kestrin::platform {

// The process's current (soft) limit on open file descriptors; a very large
// number when there is none.
uint64_t OpenFileLimit();

}  // namespace kestrin::platform
