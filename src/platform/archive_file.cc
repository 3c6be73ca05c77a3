#include "platform/archive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file_registry.h"

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

bool ArchiveWriteFile::Create(const std::string& path) {
  Close(false);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags, 0644);
  if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0) {
    fd = ::open(path.c_str(), kFlags | O_EXCL, 0644);
  }
  if (fd < 0) return false;
  // The size is read under the lock, so a new file (the usual case) needs no
  // truncation: no other writer can have grown it since.
  struct stat st;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  return true;
}

bool ArchiveWriteFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    if (fd_ < 0) return false;
    const ssize_t n = ::write(fd_, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ArchiveWriteFile::Close(bool remove) {
  if (fd_ < 0) return;
  if (remove) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
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

ArchiveFile OpenFinishedArchiveFile(const std::string& folder, std::string_view name,
                                    const std::string& path) {
  const WritingFiles& writing = WritingFiles::Instance();
  if (writing.IsBeingWritten(path)) return {};
  ArchiveFile file = OpenArchiveFile(folder, name);
  if (!file.is_open() || writing.IsBeingWritten(path)) return {};
  return file;
}

EntryKind ArchiveEntryKind(const std::string& folder, std::string_view name) {
  std::optional<struct stat> st = StatArchiveEntry(folder, name);
  if (!st) return EntryKind::kMissing;
  if (S_ISREG(st->st_mode)) return EntryKind::kRegular;
  if (S_ISDIR(st->st_mode)) return EntryKind::kFolder;
  if (S_ISLNK(st->st_mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

}  // namespace kestrin::platform
