#include "service/archive_settings.h"

namespace kestrin::service {

std::string ArchiveSettings::Path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void ArchiveSettings::SetPath(std::string path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

int32_t ArchiveSettings::Limit() const {
  std::lock_guard lock(mutex_);
  return limit_;
}

void ArchiveSettings::SetLimit(int32_t limit) {
  std::lock_guard lock(mutex_);
  limit_ = limit;
}

int32_t ArchiveSettings::NameFormat() const {
  std::lock_guard lock(mutex_);
  return name_format_;
}

void ArchiveSettings::SetNameFormat(int32_t format) {
  std::lock_guard lock(mutex_);
  name_format_ = format;
}

}  // namespace kestrin::service
