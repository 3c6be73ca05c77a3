#pragma once

#include <string>

namespace kestrin::service {

// The architecture of a shared library file from its ELF header: "64-bit" for
// class 2, "32-bit" for class 1, "unknown" for anything else and for a file
// that cannot be read.
std::string LibraryArchitecture(const std::string& path);

// The database client library in the home folder.
inline constexpr const char* kDatabaseClientLibrary = "libfbclient.so.2";

}  // namespace kestrin::service
