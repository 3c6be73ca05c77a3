#pragma once

#include <sys/stat.h>

#include <cstddef>
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

// A photo file being written, the writer side of the archive's lock
// protocol: created for writing (replacing any file of its name), held with
// an exclusive flock until it is closed. Readers of other processes see a
// held file as unreadable; this process's savers also register the path in
// WritingFiles before they create it.
class ArchiveWriteFile {
 public:
  ArchiveWriteFile() = default;
  ArchiveWriteFile(const ArchiveWriteFile&) = delete;
  ArchiveWriteFile& operator=(const ArchiveWriteFile&) = delete;
  ~ArchiveWriteFile() { Close(false); }

  // Creates `path` empty and locks it. False when it cannot be created, is
  // no regular file (a folder, a pipe: left alone) or another process holds
  // it. A symbolic link of the name is replaced, never written through.
  bool Create(const std::string& path);
  bool is_open() const { return fd_ >= 0; }
  // Writes all `size` bytes; false on an error (a full disk).
  bool Write(const void* data, size_t size);
  // Closes the file, which releases the lock. With `remove` the file is
  // removed first, while still locked: no other writer's file of the same
  // name can be hit.
  void Close(bool remove);

 private:
  int fd_ = -1;
  std::string path_;
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

// The reader side of the lock protocol: OpenArchiveFile, unless a writer
// holds the file, this process's savers (registered in WritingFiles under
// `path`, the file as savers name it) or another process's (flock). The
// registry is asked before and after the opening, as a saver may begin in
// between.
ArchiveFile OpenFinishedArchiveFile(const std::string& folder, std::string_view name,
                                    const std::string& path);

// What the entry `name` directly in `folder` is, a symbolic link never
// followed.
enum class EntryKind { kMissing, kRegular, kFolder, kLink, kOther };
EntryKind ArchiveEntryKind(const std::string& folder, std::string_view name);

}  // namespace kestrin::platform
