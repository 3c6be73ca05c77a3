#pragma once

#include <mutex>
#include <string>

namespace kestrin::service {

// A text value that one thread may replace while others read it: every reader
// gets either the old or the new value as a whole.
class GuardedText {
 public:
  GuardedText() = default;
  explicit GuardedText(std::string value) : value_(std::move(value)) {}

  std::string Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void Set(std::string value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

}  // namespace kestrin::service
