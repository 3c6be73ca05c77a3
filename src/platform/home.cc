#include "platform/home.h"

#include <system_error>

namespace kestrin::platform {

std::filesystem::path ExecutableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec);
  return exe.parent_path();
}

}  // namespace kestrin::platform
