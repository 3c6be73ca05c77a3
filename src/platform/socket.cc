#include "platform/socket.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kestrin::platform {

int OpenSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

bool HasIpv6() {
  const int sock = OpenSocket(AF_INET6, SOCK_STREAM, 0);
  if (sock < 0) return false;
  ::close(sock);
  return true;
}

}  // namespace kestrin::platform
