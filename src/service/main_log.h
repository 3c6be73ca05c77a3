#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kestrin::service {

// Raised by MainLog when the line could not be written.
class LogWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message as it goes into the log: characters with codes up to 32 trimmed
// at both ends, every remaining CR and LF replaced by a space. Empty means
// nothing is written.
std::string CleanLogMessage(std::string_view text);

// "[" date-time "] " message CR LF, with the Russian date format.
std::string BuildLogLine(std::string_view message, platform::DateTime time);

// The service log, videoserver.log in the home folder: UTF-8 without a
// byte-order mark, opened, appended to and closed for every line under the log
// lock, so external tools may read, copy or delete it between lines.
class ServiceLog {
 public:
  explicit ServiceLog(std::string path) : path_(std::move(path)) {}
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Appends one line. Any thread. Throws LogWriteError, after the lock has been
  // released, when the file cannot be opened or written; the line is lost.
  void MainLog(std::string_view ToLog);

  // Appends one line; a failure to write is swallowed. For the threads whose
  // callers have nobody to report a log failure to.
  void TryLog(std::string_view text);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::mutex log_lock_;
};

}  // namespace kestrin::service
