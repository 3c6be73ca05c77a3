#pragma once

#include <mutex>
#include <set>
#include <string>

namespace kestrin::platform {

// The process-wide registry of files being written. A writer registers a path
// before it creates the file and removes it when the file is closed; a second
// writer of the same path is refused, and readers treat a registered file as
// unreadable. Paths are compared as given, so callers build them the same way.
class WritingFiles {
 public:
  static WritingFiles& Instance();

  // Registers `path`; false when it is registered already.
  bool TryBegin(const std::string& path);
  void End(const std::string& path);
  bool IsBeingWritten(const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> paths_;
};

// Holds the registration of one path for its lifetime.
class WritingFileGuard {
 public:
  explicit WritingFileGuard(std::string path);
  WritingFileGuard(const WritingFileGuard&) = delete;
  WritingFileGuard& operator=(const WritingFileGuard&) = delete;
  ~WritingFileGuard();

  // False when another writer had the path already.
  bool acquired() const { return acquired_; }

 private:
  std::string path_;
  bool acquired_;
};

}  // namespace kestrin::platform
