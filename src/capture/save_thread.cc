#include "capture/save_thread.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/jpeg_encoder.h"
#include "capture/multi_frame.h"
#include "platform/file_registry.h"

namespace kestrin::capture {

namespace {

constexpr auto kPauseBetweenPictures = std::chrono::milliseconds(200);
constexpr size_t kWriteBlock = 4096;

// A file created for writing, replacing any file of its name, held with an
// exclusive advisory lock, written in 4096-byte blocks. A file that cannot be
// written whole (a full disk) is removed when closed: a reader must never take
// a torn picture for a photo.
class BlockWriter {
 public:
  BlockWriter() = default;
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  ~BlockWriter() { Close(); }

  // False when the file cannot be created or another process holds it. A
  // symbolic link of the name is replaced, never written through; anything
  // else that is no regular file (a folder, a pipe) is left alone.
  bool Create(const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd_ = ::open(path.c_str(), kFlags, 0644);
    if (fd_ < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0) {
      fd_ = ::open(path.c_str(), kFlags | O_EXCL, 0644);
    }
    if (fd_ < 0) return false;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
        ::ftruncate(fd_, 0) != 0) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    path_ = path;
    return true;
  }

  // Buffers `size` bytes, passing on every full block. After a write error
  // the rest of the writes are no-ops.
  void Write(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0 && fd_ >= 0 && !failed_) {
      const size_t take = std::min(size, kWriteBlock - used_);
      std::memcpy(block_ + used_, bytes, take);
      used_ += take;
      bytes += take;
      size -= take;
      if (used_ == kWriteBlock) Flush();
    }
  }

  // Writes the rest and closes the file; removes it when a write failed.
  // False in that case.
  bool Close() {
    if (fd_ < 0) return !failed_;
    Flush();
    // Removed while still locked and registered, so no other saver's file of
    // the same name can be hit.
    if (failed_) ::unlink(path_.c_str());
    ::close(fd_);  // also releases the lock
    fd_ = -1;
    return !failed_;
  }

  bool failed() const { return failed_; }

 private:
  void Flush() {
    size_t done = 0;
    while (done < used_ && !failed_) {
      const ssize_t n = ::write(fd_, block_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        break;
      }
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }

  int fd_ = -1;
  bool failed_ = false;
  std::string path_;
  uint8_t block_[kWriteBlock];
  size_t used_ = 0;
};

}  // namespace

void TSaveThread::Start(SaveJob job) {
  std::thread([job = std::move(job)] { Run(job); }).detach();
}

int TSaveThread::Run(const SaveJob& job) {
  if (job.sdelay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(job.sdelay));

  // A second saver of the same path, in this process or another, ends here.
  platform::WritingFileGuard registration(job.filename);
  if (!registration.acquired()) return -1;
  BlockWriter file;
  if (!file.Create(job.filename)) return -1;

  const bool multi = job.framecnt > 1;
  const uint32_t width = job.width > 0 ? static_cast<uint32_t>(job.width) : 0;
  const uint32_t height = job.height > 0 ? static_cast<uint32_t>(job.height) : 0;
  std::vector<uint8_t> frame = job.frames ? job.frames->TakeCopyBuffer() : std::vector<uint8_t>();
  std::vector<uint8_t> jpeg;
  int written = 0;
  for (int i = 1; i <= job.framecnt; ++i) {
    if (!job.frames || !job.frames->CopyFrame(width, height, frame)) break;
    if (!EncodeJpeg(frame.data(), PixelLayout::kBgrx, width, height, job.quality, jpeg)) break;
    if (multi) {
      const std::string head = MultiFrameRecordHead(static_cast<int64_t>(jpeg.size()));
      file.Write(head.data(), head.size());
    }
    file.Write(jpeg.data(), jpeg.size());
    if (file.failed()) break;
    ++written;
    if (i < job.framecnt) std::this_thread::sleep_for(kPauseBetweenPictures);
  }
  if (job.frames) job.frames->ReturnCopyBuffer(std::move(frame));
  if (!file.Close()) return -1;
  return written;
}

}  // namespace kestrin::capture
