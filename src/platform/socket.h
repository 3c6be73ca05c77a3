#pragma once

namespace kestrin::platform {

// A new socket (socket(2) arguments), closed on exec; -1 with errno set when
// none can be had.
int OpenSocket(int family, int type, int protocol);

// Whether this machine can make IPv6 stream sockets at all.
bool HasIpv6();

}  // namespace kestrin::platform
