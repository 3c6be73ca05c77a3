#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrin::platform {

// A regular file of the photo archive opened for reading; closed on
// destruction.
class ArchiveFile {
 public:
  ArchiveFile() = default;
  ArchiveFile(int fd, int64_t size) : fd_(fd), size_(size) {}
  ArchiveFile(ArchiveFile&& other) noexcept;
  ArchiveFile& operator=(ArchiveFile&& other) noexcept;
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;
  ~ArchiveFile();

  bool is_open() const { return fd_ >= 0; }
  // The file's size when it was opened; -1 when it is not open.
  int64_t size() const { return size_; }
  // Reads up to `capacity` bytes; 0 at the end of the file, -1 on an error
  // or when the file is not open.
  int64_t Read(char* buffer, size_t capacity);
  // Sends up to `count` bytes of the file from `*offset` on to the stream
  // socket `socket_fd` inside the kernel (sendfile), advancing `*offset` by
  // what was sent. Returns that number; 0 when the file ends at `*offset`;
  // -1 on an error or when the file is not open, with errno set (EAGAIN:
  // a non-blocking socket has no room now).
  int64_t SendTo(int socket_fd, int64_t* offset, size_t count);

 private:
  int fd_ = -1;
  int64_t size_ = -1;
};

// Whether `name` can be an entry directly in a folder: not empty, not "." or
// "..", and without "/".
bool IsSingleEntryName(std::string_view name);

// Opens the entry `name` directly in the folder `folder` for reading. The
// result is not open when the name is no single entry name, the entry is
// missing, is a symbolic link (never followed), is no regular file (folders,
// pipes and devices are never opened for reading) or is locked by a writer of
// another process (flock). The folder itself may be reached through links;
// nothing below it is.
ArchiveFile OpenArchiveFile(const std::string& folder, std::string_view name);

// The status of the entry `name` directly in `folder`, without following a
// symbolic link: nothing when the name is no single entry name or the entry
// does not exist.
std::optional<struct stat> StatArchiveEntry(const std::string& folder, std::string_view name);

}  // namespace kestrin::platform
