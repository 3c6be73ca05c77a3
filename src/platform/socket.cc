#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

std::vector<StreamAddress> ResolveStream(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::vector<StreamAddress> found;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return found;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    StreamAddress entry;
    entry.family = a->ai_family;
    entry.type = a->ai_socktype;
    entry.protocol = a->ai_protocol;
    std::memcpy(&entry.address, a->ai_addr, a->ai_addrlen);
    entry.length = a->ai_addrlen;
    found.push_back(entry);
  }
  ::freeaddrinfo(list);
  return found;
}

int ConnectCancellable(int fd, const StreamAddress& to, const std::atomic<bool>* cancel,
                       int step_ms) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.length);
  } while (rc < 0 && errno == EINTR);
  int error = rc == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    for (;;) {
      if (cancel != nullptr && cancel->load()) return ECANCELED;
      rc = WaitSocket(fd, true, step_ms);
      if (rc < 0) return errno;
      if (rc > 0) break;
    }
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return errno;
  }
  if (error != 0) return error;
  if (::fcntl(fd, F_SETFL, flags) < 0) return errno;
  return 0;
}

int WaitSocket(int fd, bool for_write, int ms) {
  pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

void SetSendTimeout(int fd, int seconds) {
  timeval timeout{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void SetListeningOptions(int listen_fd) {
  int yes = 1;
  ::setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  int domain = 0;
  socklen_t length = sizeof(domain);
  if (::getsockopt(listen_fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET6) {
    int no = 0;
    ::setsockopt(listen_fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
  }
}

bool SetListenQueue(int listen_fd, int length) {
  return ::listen(listen_fd, length) == 0;
}

void ShutdownSocket(int fd) {
  ::shutdown(fd, SHUT_RDWR);
}

void CloseSocketGently(int fd, int max_reads) {
  ::shutdown(fd, SHUT_WR);
  char sink[4096];
  for (int i = 0; i < max_reads; ++i) {
    if (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) <= 0) break;
  }
  ::close(fd);
}

}  // namespace kestrin::platform
