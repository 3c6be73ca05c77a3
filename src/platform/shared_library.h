#pragma once

#include <optional>
#include <string>

namespace kestrin::platform {

// A shared library loaded with dlopen. Closing is explicit: libraries the
// service loads stay until the process ends.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Loads `path` (a file path or a soname); `global` makes its symbols
  // available to libraries loaded later. False on failure; error() tells why.
  bool Open(const std::string& path, bool global);
  // Takes a further handle of `path` only when it is loaded already (never
  // loads it). False otherwise.
  bool OpenLoaded(const std::string& path);
  void* Symbol(const char* name) const;
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The loaded object (the program or a shared library) whose image holds
// `address`: its file name and the address it is loaded at.
struct LoadedObject {
  std::string file;
  const void* base = nullptr;
};
std::optional<LoadedObject> ObjectContaining(const void* address);

}  // namespace kestrin::platform
