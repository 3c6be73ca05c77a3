#include "capture/block_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrin::capture {

bool BlockWriter::Create(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  fd_ = ::open(path.c_str(), kFlags, 0644);
  if (fd_ < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0) {
    fd_ = ::open(path.c_str(), kFlags | O_EXCL, 0644);
  }
  if (fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
      ::ftruncate(fd_, 0) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  path_ = path;
  return true;
}

void BlockWriter::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0 && fd_ >= 0 && !failed_) {
    const size_t take = std::min(size, kBlock - used_);
    std::memcpy(block_ + used_, bytes, take);
    used_ += take;
    bytes += take;
    size -= take;
    if (used_ == kBlock) Flush();
  }
}

bool BlockWriter::Close() {
  if (fd_ < 0) return !failed_;
  Flush();
  // Removed while still locked and registered, so no other saver's file of
  // the same name can be hit.
  if (failed_) ::unlink(path_.c_str());
  ::close(fd_);  // also releases the lock
  fd_ = -1;
  return !failed_;
}

void BlockWriter::Flush() {
  size_t done = 0;
  while (done < used_ && !failed_) {
    const ssize_t n = ::write(fd_, block_ + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    done += static_cast<size_t>(n);
  }
  used_ = 0;
}

}  // namespace kestrin::capture
