#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

namespace kestrin::service {

// The photo archive as the settings page, the picture server, the cleaner and
// the event thread see it: the folder, the free-space limit and the naming
// format. The settings page replaces values while the others read them; every
// read returns a whole value. Any thread. Shared by reference; its mutex
// makes it neither copyable nor movable.
class ArchiveSettings {
 public:
  // The folder, without a trailing separator; empty: no photos are saved.
  std::string Path() const { return Read(path_); }
  void SetPath(std::string path) { Write(path_, std::move(path)); }

  // The free space, in MB, below which the cleaner deletes the oldest photos.
  int32_t Limit() const { return Read(limit_); }
  void SetLimit(int32_t limit) { Write(limit_, limit); }

  // The naming format of photo files (photo_naming.h).
  int32_t NameFormat() const { return Read(name_format_); }
  void SetNameFormat(int32_t format) { Write(name_format_, format); }

 private:
  template <typename T>
  T Read(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <typename T>
  void Write(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
  }

  mutable std::mutex mutex_;
  std::string path_;
  int32_t limit_ = 0;
  int32_t name_format_ = 0;
};

}  // namespace kestrin::service
