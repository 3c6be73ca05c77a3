#pragma once

#include <string>

namespace kestrin::platform {

// The key text used when the machine has no identifier.
inline constexpr const char* kFallbackMachineKey = "7d1e0b93f4a2586cd0e7b3a19f4c2e58";

// The machine identifier from `path` (normally /etc/machine-id) with every "-"
// removed and surrounding whitespace trimmed; kFallbackMachineKey when the file
// cannot be read or holds nothing.
std::string ReadMachineKey(const std::string& path = "/etc/machine-id");

}  // namespace kestrin::platform
