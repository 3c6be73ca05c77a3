#include "transport/tcp_socket.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/socket.h"
#include "platform/stream_socket.h"

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

}  // namespace

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket() {
  Close();
}

int TcpSocket::Connect(const std::string& host, const std::string& port) {
  const std::vector<platform::StreamAddress> addresses = platform::ResolveStream(host, port);
  if (addresses.empty()) return SetError(kSocketHostNotFound);
  int error = ECONNREFUSED;
  for (const platform::StreamAddress& address : addresses) {
    int fd = platform::OpenSocket(address.family, address.type, address.protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    platform::SetSendTimeout(fd, kSendTimeoutSeconds);
    platform::SetNoDelay(fd);
    {
      std::lock_guard lock(fd_mutex_);
      CloseDescriptorLocked();
      fd_.store(fd);
    }
    error = platform::ConnectCancellable(fd, address, cancel_, kCancelStepMs);
    if (error == 0) return SetError(0);
    std::lock_guard lock(fd_mutex_);
    CloseDescriptorLocked();
    if (error == ECANCELED) break;  // no further address is tried
  }
  return SetError(error == ECANCELED ? kSocketTimedOut : MapErrno(error));
}

void TcpSocket::Adopt(int fd) {
  platform::SetSendTimeout(fd, kSendTimeoutSeconds);
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
    size_t n = 0;
    const platform::SocketResult result =
        platform::SendSome(fd, bytes.data() + sent, bytes.size() - sent, false, &n);
    if (result == platform::SocketResult::kDone) {
      sent += n;
      continue;
    }
    if (result != platform::SocketResult::kWouldBlock) return SetSendError(MapErrno(errno));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SetSendError(kSocketTimedOut);
    if (platform::WaitSocket(fd, true, static_cast<int>(left.count())) < 0) {
      return SetSendError(MapErrno(errno));
    }
  }
  return SetSendError(0);
}

int TcpSocket::Fill(int ms) {
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  for (int left = ms;;) {
    const int step = cancel_ != nullptr ? std::min(left, kCancelStepMs) : left;
    int rc = platform::WaitSocket(fd, false, step);
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
  size_t n = 0;
  const platform::SocketResult result =
      platform::ReceiveSome(fd, buffer_.data() + old_size, kPieceSize, &n);
  buffer_.resize(old_size + n);
  switch (result) {
    case platform::SocketResult::kDone:
      return 0;
    case platform::SocketResult::kClosed:
      return kSocketConnectionReset;  // closed in order: readable, nothing to read
    case platform::SocketResult::kWouldBlock:
      return kSocketTimedOut;
    case platform::SocketResult::kFailed:
      break;
  }
  return MapErrno(errno);
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
  int rc = platform::WaitSocket(fd, false, ms);
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
  int rc = platform::WaitSocket(fd, true, ms);
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
  if (fd >= 0) platform::ShutdownSocket(fd);
}

void TcpSocket::Close() {
  std::lock_guard lock(fd_mutex_);
  CloseDescriptorLocked();
}

void TcpSocket::CloseDescriptorLocked() {
  int fd = fd_.load();
  if (fd < 0) return;
  if (last_error_.load() == 0 && send_error_.load() == 0) {
    platform::CloseSocketGently(fd, kDrainReads);
  } else {
    platform::CloseSocket(fd);
  }
  fd_.store(-1);
}

}  // namespace kestrin::transport
