#include "platform/allocator.h"

#include <malloc.h>

namespace kestrin::platform {

void ReturnLargeBlocksToSystem() {
  // A fixed threshold also switches off glibc's dynamic adjustment of it.
  mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
}

}  // namespace kestrin::platform
