#include "platform/file_registry.h"

namespace kestrin::platform {

WritingFiles& WritingFiles::Instance() {
  static WritingFiles* registry = new WritingFiles();  // never destroyed: savers may outlive main
  return *registry;
}

bool WritingFiles::TryBegin(const std::string& path) {
  std::lock_guard lock(mutex_);
  return paths_.insert(path).second;
}

void WritingFiles::End(const std::string& path) {
  std::lock_guard lock(mutex_);
  paths_.erase(path);
}

bool WritingFiles::IsBeingWritten(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return paths_.count(path) != 0;
}

WritingFileGuard::WritingFileGuard(std::string path)
    : path_(std::move(path)), acquired_(WritingFiles::Instance().TryBegin(path_)) {}

WritingFileGuard::~WritingFileGuard() {
  if (acquired_) WritingFiles::Instance().End(path_);
}

}  // namespace kestrin::platform
