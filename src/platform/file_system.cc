#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace kestrin::platform {

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

std::optional<uint64_t> FreeBytes(const std::string& path) {
  struct statvfs fs;
  if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

std::optional<std::string> MountPoint(const std::string& folder) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(folder, error);
  if (error) return std::nullopt;
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  while (path.has_relative_path()) {
    std::filesystem::path parent = path.parent_path();
    struct stat parent_info;
    if (::stat(parent.c_str(), &parent_info) != 0 || parent_info.st_dev != info.st_dev) break;
    path = parent;
  }
  return path.string();
}

std::optional<int64_t> EntrySize(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::string AppendToFile(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  std::string error;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
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

}  // namespace kestrin::platform
