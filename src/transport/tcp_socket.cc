#include "transport/tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/socket.h"

namespace kestrin::transport {
namespace {

constexpr size_t kPieceSize = 65536;
constexpr int kSendTimeoutSeconds = 10;
constexpr int kDrainReads = 64;
constexpr int kCancelStepMs = 250;

int MapErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
      return kSocketConnectionReset;
    case ETIMEDOUT:
    case EAGAIN:
      return kSocketTimedOut;
    case ENOBUFS:
      return kSocketNoBufferSpace;
    default:
      return error;
  }
}

// poll() for one descriptor, restarted after a signal. Returns the poll result.
int PollOne(int fd, short events, int ms, short& revents) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  revents = p.revents;
  return rc;
}

// Connects the blocking socket `fd` without blocking in connect() itself, so
// that `cancel` is looked at every quarter of a second; the system's connect
// time-out still ends an attempt nobody answers. Returns 0, an errno value, or
// kSocketTimedOut when cancelled.
int ConnectCancellable(int fd, const sockaddr* address, socklen_t length,
                       const std::atomic<bool>* cancel) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  int rc;
  do {
    rc = ::connect(fd, address, length);
  } while (rc < 0 && errno == EINTR);
  int error = rc == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    for (;;) {
      if (cancel != nullptr && cancel->load()) return kSocketTimedOut;
      short revents = 0;
      rc = PollOne(fd, POLLOUT, kCancelStepMs, revents);
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

}  // namespace

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket() {
  Close();
}

int TcpSocket::Connect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr) {
    return SetError(kSocketHostNotFound);
  }
  int error = ECONNREFUSED;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    int fd = platform::OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    timeval send_timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    {
      std::lock_guard lock(fd_mutex_);
      CloseDescriptorLocked();
      fd_.store(fd);
    }
    error = ConnectCancellable(fd, a->ai_addr, a->ai_addrlen, cancel_);
    if (error == 0) {
      ::freeaddrinfo(list);
      return SetError(0);
    }
    std::lock_guard lock(fd_mutex_);
    CloseDescriptorLocked();
    if (error == kSocketTimedOut) break;  // cancelled: no further address is tried
  }
  ::freeaddrinfo(list);
  return SetError(error == kSocketTimedOut ? error : MapErrno(error));
}

void TcpSocket::Adopt(int fd) {
  timeval send_timeout{kSendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
  std::lock_guard lock(fd_mutex_);
  CloseDescriptorLocked();
  fd_.store(fd);
  last_error_.store(0);
}

int TcpSocket::SendAll(std::string_view bytes) {
  return SendAll(bytes,
                 std::chrono::steady_clock::now() + std::chrono::seconds(kSendTimeoutSeconds));
}

int TcpSocket::SendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline) {
  std::lock_guard lock(fd_mutex_);
  int fd = fd_.load();
  if (fd < 0) return SetSendError(EBADF);
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return SetSendError(MapErrno(errno));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SetSendError(kSocketTimedOut);
    short revents = 0;
    if (PollOne(fd, POLLOUT, static_cast<int>(left.count()), revents) < 0) {
      return SetSendError(MapErrno(errno));
    }
  }
  return SetSendError(0);
}

int TcpSocket::Fill(int ms) {
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  short revents = 0;
  for (int left = ms;;) {
    const int step = cancel_ != nullptr ? std::min(left, kCancelStepMs) : left;
    int rc = PollOne(fd, POLLIN, step, revents);
    if (rc < 0) return MapErrno(errno);
    if (rc > 0) break;
    left -= step;
    if (left <= 0 || (cancel_ != nullptr && cancel_->load())) return kSocketTimedOut;
  }
  if (buffer_pos_ == buffer_.size()) {
    buffer_.clear();
    buffer_pos_ = 0;
  } else if (buffer_pos_ >= kPieceSize) {
    buffer_.erase(0, buffer_pos_);
    buffer_pos_ = 0;
  }
  size_t old_size = buffer_.size();
  buffer_.resize(old_size + kPieceSize);
  ssize_t n;
  do {
    n = ::recv(fd, buffer_.data() + old_size, kPieceSize, 0);
  } while (n < 0 && errno == EINTR);
  buffer_.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n == 0) return kSocketConnectionReset;  // closed in order: readable, nothing to read
  if (n < 0) return MapErrno(errno);
  return 0;
}

bool TcpSocket::WaitReadable(int ms) {
  if (buffer_pos_ < buffer_.size()) {
    SetError(0);
    return true;
  }
  int fd = fd_.load();
  if (fd < 0) {
    SetError(EBADF);
    return false;
  }
  short revents = 0;
  int rc = PollOne(fd, POLLIN, ms, revents);
  if (rc < 0) {
    SetError(MapErrno(errno));
    return false;
  }
  SetError(0);
  return rc > 0;
}

int TcpSocket::ReceiveByte(int ms, uint8_t& byte) {
  if (buffer_pos_ == buffer_.size()) {
    int error = Fill(ms);
    if (error != 0) return SetError(error);
  }
  byte = static_cast<uint8_t>(buffer_[buffer_pos_++]);
  return SetError(0);
}

int TcpSocket::ReceiveExact(size_t n, int ms, std::string& out) {
  line_scan_ = 0;
  while (n > 0) {
    if (buffer_pos_ == buffer_.size()) {
      int error = Fill(ms);
      if (error != 0) return SetError(error);
    }
    size_t take = std::min(n, buffer_.size() - buffer_pos_);
    out.append(buffer_, buffer_pos_, take);
    buffer_pos_ += take;
    n -= take;
  }
  return SetError(0);
}

int TcpSocket::ReceiveLine(int ms, std::string& line) {
  line.clear();
  for (;;) {
    size_t available = buffer_.size() - buffer_pos_;
    size_t found = std::string_view(buffer_).substr(buffer_pos_).find("\r\n", line_scan_);
    if (found != std::string_view::npos) {
      line_scan_ = 0;
      if (line_limit_ != 0 && found > line_limit_) return SetError(kSocketNoBufferSpace);
      line.assign(buffer_, buffer_pos_, found);
      buffer_pos_ += found + 2;
      return SetError(0);
    }
    // A CR at the end may be completed by the next piece.
    line_scan_ = available > 0 ? available - 1 : 0;
    if (line_limit_ != 0 && available > line_limit_ + 1) return SetError(kSocketNoBufferSpace);
    int error = Fill(ms);
    if (error != 0) return SetError(error);
  }
}

bool TcpSocket::CanWrite(int ms) {
  std::lock_guard lock(fd_mutex_);
  int fd = fd_.load();
  if (fd < 0) {
    SetSendError(EBADF);
    return false;
  }
  short revents = 0;
  int rc = PollOne(fd, POLLOUT, ms, revents);
  if (rc < 0) {
    SetSendError(MapErrno(errno));
    return false;
  }
  // An error or hang-up also means that a send would not block.
  return rc > 0;
}

void TcpSocket::Shutdown() {
  // Under the lock so that the descriptor cannot be closed and reused meanwhile.
  std::lock_guard lock(fd_mutex_);
  int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TcpSocket::Close() {
  std::lock_guard lock(fd_mutex_);
  CloseDescriptorLocked();
}

void TcpSocket::CloseDescriptorLocked() {
  int fd = fd_.load();
  if (fd < 0) return;
  if (last_error_.load() == 0 && send_error_.load() == 0) {
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    for (int i = 0; i < kDrainReads; ++i) {
      if (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) <= 0) break;
    }
  }
  ::close(fd);
  fd_.store(-1);
}

}  // namespace kestrin::transport
