#pragma once

namespace kestrin::platform {

// Makes the C library's allocator give every block of kLargeBlockBytes or
// more its own mapping, returned to the system when it is freed.
//
// By default glibc raises that threshold each time such a block is freed, so
// after a while whole frames (megabytes each, allocated and freed by camera
// reconnects, frame copies and libVLC's decoders on many threads) come from
// the per-thread heaps, which keep the freed space: the resident size then
// climbs with every reconnect and never comes down. Call once at start, before
// other threads exist.
void ReturnLargeBlocksToSystem();

inline constexpr int kLargeBlockBytes = 1 << 20;

}  // namespace kestrin::platform
