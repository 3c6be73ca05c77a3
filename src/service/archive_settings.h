#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace kestrin::service {

// The photo archive as the settings page, the picture server, the cleaner and
// the event thread see it: the folder, the free-space limit and the naming
// format. The settings page replaces values while the others read them; every
// read returns a whole value. Any thread.
class ArchiveSettings {
 public:
  ArchiveSettings() = default;
  ArchiveSettings(const ArchiveSettings&) = delete;
  ArchiveSettings& operator=(const ArchiveSettings&) = delete;

  // The folder, without a trailing separator; empty: no photos are saved.
  std::string Path() const;
  void SetPath(std::string path);

  // The free space, in MB, below which the cleaner deletes the oldest photos.
  int32_t Limit() const;
  void SetLimit(int32_t limit);

  // The naming format of photo files (photo_naming.h).
  int32_t NameFormat() const;
  void SetNameFormat(int32_t format);

 private:
  mutable std::mutex mutex_;
  std::string path_;
  int32_t limit_ = 0;
  int32_t name_format_ = 0;
};

}  // namespace kestrin::service
