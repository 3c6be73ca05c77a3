#include "capture/clear_thread.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/archive_file.h"
#include "platform/file_system.h"

namespace kestrin::capture {
namespace {

constexpr auto kSleepStep = std::chrono::milliseconds(100);

struct Candidate {
  timespec modified;
  std::string path;
};

bool Older(const Candidate& a, const Candidate& b) {
  if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec < b.modified.tv_sec;
  return a.modified.tv_nsec < b.modified.tv_nsec;
}

bool EndsWithJpg(std::string_view name) {
  return name.size() >= 4 && name.substr(name.size() - 4) == ".jpg";
}

// Every regular file directly in the folder whose name ends in ".jpg",
// oldest first. Symbolic links are no photos: they are left in place, and
// what they point to is never touched.
std::vector<Candidate> ListCandidates(const std::string& folder) {
  std::vector<Candidate> candidates;
  for (const std::string& name : platform::ListFolder(folder)) {
    if (!EndsWithJpg(name)) continue;
    std::optional<struct stat> st = platform::StatArchiveEntry(folder, name);
    if (!st || !S_ISREG(st->st_mode)) continue;
    candidates.push_back({st->st_mtim, folder + "/" + name});
  }
  std::sort(candidates.begin(), candidates.end(), Older);
  return candidates;
}

}  // namespace

int64_t FreeSpaceMb(const std::string& path) {
  return static_cast<int64_t>(platform::FreeBytes(path).value_or(0) / 1048576);
}

int PruneArchive(const std::string& archive_path, int32_t archive_limit,
                 const CleanupFileSystem& file_system, std::stop_token stop) {
  const auto& free_space_mb = file_system.free_space_mb;
  if (archive_limit <= 0 || archive_path.empty()) return 0;
  if (archive_path.front() != '/') return 0;
  if (free_space_mb(archive_path) >= archive_limit) return 0;

  std::vector<Candidate> candidates = ListCandidates(archive_path);
  int deleted = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (stop.stop_requested()) break;
    if (file_system.remove_file(candidates[i].path)) ++deleted;
    if (i % 10 == 0 && i > 0 && free_space_mb(archive_path) > archive_limit) break;
  }
  return deleted;
}

TClearThread::TClearThread(const service::ArchiveSettings& archive,
                           std::chrono::milliseconds interval, CleanupFileSystem file_system)
    : archive_(archive), interval_(interval), file_system_(std::move(file_system)) {}

TClearThread::~TClearThread() {
  Stop();
}

void TClearThread::Start() {
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void TClearThread::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void TClearThread::Run(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  auto last_check = std::chrono::steady_clock::now();
  while (!stop.stop_requested()) {
    if (std::chrono::steady_clock::now() - last_check < interval_) {
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, kSleepStep, [] { return false; });
      continue;
    }
    last_check = std::chrono::steady_clock::now();
    PruneArchive(archive_.Path(), archive_.Limit(), file_system_, stop);
  }
}

}  // namespace kestrin::capture
