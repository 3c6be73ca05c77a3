#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "service/archive_settings.h"

namespace kestrin::capture {

// Free space, in whole MB, of the file system that holds `path`, as available
// to this process's user. 0 when it cannot be measured.
int64_t FreeSpaceMb(const std::string& path);

// What the cleaner asks of the file system besides listing the folder.
struct CleanupFileSystem {
  std::function<int64_t(const std::string& path)> free_space_mb = FreeSpaceMb;
  std::function<bool(const std::string& path)> remove_file = platform::RemoveFile;
};

// One check of the archive: when the free space is below `archive_limit` MB,
// deletes the oldest photo files (names ending in ".jpg" directly in the
// folder, oldest modification time first) until it is above the limit again.
// The free space is measured again after every tenth deletion only, so up to
// ten files more than needed may go. Nothing happens for a limit of 0 or
// less, or for an archive folder that is not an absolute path. Files that
// cannot be deleted are skipped; a stop request ends the pass between files.
// Returns the number of files deleted.
int PruneArchive(const std::string& archive_path, int32_t archive_limit,
                 const CleanupFileSystem& file_system, std::stop_token stop = {});

// The archive cleaner: checks the archive once a minute (the first check a
// minute after Start) with the archive folder and limit current at that time.
class TClearThread {
 public:
  // `archive` must outlive the cleaner.
  explicit TClearThread(const service::ArchiveSettings& archive,
                        std::chrono::milliseconds interval = std::chrono::seconds(60),
                        CleanupFileSystem file_system = {});
  TClearThread(const TClearThread&) = delete;
  TClearThread& operator=(const TClearThread&) = delete;
  ~TClearThread();

  void Start();
  // Requests the end and waits for it; a running pass ends after its current
  // file.
  void Stop();

 private:
  void Run(std::stop_token stop);

  const service::ArchiveSettings& archive_;
  std::chrono::milliseconds interval_;
  CleanupFileSystem file_system_;
  std::jthread thread_;
};

}  // namespace kestrin::capture
