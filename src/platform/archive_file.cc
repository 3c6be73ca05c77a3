#include "platform/archive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrin::platform {
namespace {

// The path of the entry `name` directly in `folder`. Resolving it follows
// links in the folder's own path only: O_NOFOLLOW and AT_SYMLINK_NOFOLLOW
// apply to its last component, the entry.
std::string EntryPath(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder).append("/").append(name);
  return path;
}

}  // namespace

ArchiveFile::ArchiveFile(ArchiveFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, -1)) {}

ArchiveFile& ArchiveFile::operator=(ArchiveFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, -1);
  }
  return *this;
}

ArchiveFile::~ArchiveFile() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t ArchiveFile::Read(char* buffer, size_t capacity) {
  if (fd_ < 0) return -1;
  while (true) {
    ssize_t n = ::read(fd_, buffer, capacity);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t ArchiveFile::SendTo(int socket_fd, int64_t* offset, size_t count) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  while (true) {
    off_t position = *offset;
    ssize_t n = ::sendfile(socket_fd, fd_, &position, count);
    if (n >= 0) {
      *offset = position;
      return n;
    }
    if (errno != EINTR) return -1;
  }
}

bool IsSingleEntryName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

ArchiveFile OpenArchiveFile(const std::string& folder, std::string_view name) {
  if (folder.empty() || !IsSingleEntryName(name)) return {};
  // O_NOFOLLOW refuses a link as the entry; O_NONBLOCK keeps a named pipe
  // from holding the caller until it is refused below as no regular file.
  int fd = ::open(EntryPath(folder, name).c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return {};
  }
  return ArchiveFile(fd, st.st_size);
}

std::optional<struct stat> StatArchiveEntry(const std::string& folder, std::string_view name) {
  if (folder.empty() || !IsSingleEntryName(name)) return std::nullopt;
  struct stat st;
  if (::fstatat(AT_FDCWD, EntryPath(folder, name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return st;
}

}  // namespace kestrin::platform
