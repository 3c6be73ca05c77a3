#include "platform/shared_library.h"

#include <dlfcn.h>

namespace kestrin::platform {

bool SharedLibrary::Open(const std::string& path, bool global) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
  if (handle_ == nullptr) {
    const char* e = dlerror();
    error_ = e ? e : "dlopen failed";
    return false;
  }
  return true;
}

void* SharedLibrary::Symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

void SharedLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace kestrin::platform
