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

bool SharedLibrary::OpenLoaded(const std::string& path) {
  Close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  return handle_ != nullptr;
}

void* SharedLibrary::Symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

void SharedLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

std::optional<LoadedObject> ObjectContaining(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  return LoadedObject{info.dli_fname, info.dli_fbase};
}

}  // namespace kestrin::platform
