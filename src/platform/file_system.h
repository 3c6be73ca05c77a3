#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrin::platform {

// The names of the entries directly in `folder` (without "." and ".."), in
// the order the file system lists them; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

// Bytes free on the file system that holds `path`, as available to this
// process's user; nothing when it cannot be measured.
std::optional<uint64_t> FreeBytes(const std::string& path);

// The mount point of the file system that holds the folder `folder` (its
// real path's highest ancestor on the same device); nothing when the folder
// cannot be resolved.
std::optional<std::string> MountPoint(const std::string& folder);

// The size of the file `path`, a symbolic link not followed; nothing when
// there is no such entry.
std::optional<int64_t> EntrySize(const std::string& path);

// Removes the file `path`; false when it cannot be removed.
bool RemoveFile(const std::string& path);

// Appends `data` to `path` (created 0644 when missing) with one open, write
// and close. Empty on success, else the reason.
std::string AppendToFile(const std::string& path, const std::string& data);

}  // namespace kestrin::platform
