#pragma once

#include <filesystem>

namespace kestrin::platform {

// The folder of the running executable (from /proc/self/exe). The service's home
// folder defaults to it.
std::filesystem::path ExecutableDir();

}  // namespace kestrin::platform
