#include "service/main_log.h"

#include "platform/file_system.h"
#include "platform/text.h"

namespace kestrin::service {

std::string CleanLogMessage(std::string_view text) {
  std::string message(platform::Trim(text, platform::IsSpaceOrControl));
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
    error = platform::AppendToFile(path_, line);
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
