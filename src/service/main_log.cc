#include "service/main_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrin::service {
namespace {

bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Appends `line` to `path` with one open, write and close. Empty on success,
// else the reason.
std::string AppendToFile(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  std::string error;
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && error.empty()) error = std::strerror(errno);
  return error;
}

}  // namespace

std::string CleanLogMessage(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsTrimmed(text[begin])) ++begin;
  while (end > begin && IsTrimmed(text[end - 1])) --end;
  std::string message(text.substr(begin, end - begin));
  for (char& c : message) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return message;
}

std::string BuildLogLine(std::string_view message, platform::DateTime time) {
  std::string line = "[" + platform::FormatDateTime(time) + "] ";
  line.append(message);
  line += "\r\n";
  return line;
}

void ServiceLog::MainLog(std::string_view ToLog) {
  std::string message = CleanLogMessage(ToLog);
  if (message.empty()) return;
  std::string line = BuildLogLine(message, platform::Now());
  std::string error;
  {
    std::lock_guard lock(log_lock_);
    error = AppendToFile(path_, line);
  }
  if (!error.empty()) throw LogWriteError("cannot write " + path_ + ": " + error);
}

void ServiceLog::TryLog(std::string_view text) {
  try {
    MainLog(text);
  } catch (const LogWriteError&) {
  }
}

}  // namespace kestrin::service
