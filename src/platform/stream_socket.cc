#include "platform/stream_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kestrin::platform {
namespace {

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

SocketResult AcceptStream(int listen_fd, int* accepted) {
  while (true) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      *accepted = fd;
      return SocketResult::kDone;
    }
    // A connection that ended in the backlog, or a signal: take the next.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return WouldBlock() ? SocketResult::kWouldBlock : SocketResult::kFailed;
  }
}

SocketResult ReceiveSome(int fd, char* buffer, size_t capacity, size_t* received) {
  while (true) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return SocketResult::kDone;
    }
    if (n == 0) return SocketResult::kClosed;
    if (errno == EINTR) continue;
    return WouldBlock() ? SocketResult::kWouldBlock : SocketResult::kFailed;
  }
}

SocketResult SendSome(int fd, const char* data, size_t size, bool more, size_t* sent) {
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  while (true) {
    const ssize_t n = ::send(fd, data, size, flags);
    if (n >= 0) {
      *sent = static_cast<size_t>(n);
      return SocketResult::kDone;
    }
    if (errno == EINTR) continue;
    return WouldBlock() ? SocketResult::kWouldBlock : SocketResult::kFailed;
  }
}

int DuplicateSocket(int fd) {
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void CloseSocket(int fd) {
  ::close(fd);
}

}  // namespace kestrin::platform
