#include "picserver/pic_request.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "capture/photo_naming.h"
#include "platform/file_registry.h"

namespace kestrin::picserver {
namespace {

PicAnswer Close() {
  return {};
}

PicAnswer Line(std::string text) {
  PicAnswer answer;
  answer.kind = PicAnswer::Kind::kLine;
  answer.line = std::move(text);
  return answer;
}

// Whether a file (anything but a folder) of this name exists.
bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

PicAnswer Lookup(std::string_view argument, const std::string& archive_path, int name_format) {
  if (archive_path.empty()) return Line("none");
  if (argument.size() != capture::kAddressedNameLength) return Line("none");
  std::optional<std::string> stored = capture::StoredPhotoName(argument, name_format);
  if (!stored) return Close();
  for (char kind : {capture::kMultiFrameKind, capture::kSingleFrameKind}) {
    if (FileExists(capture::MakePhotoPath(archive_path, *stored, kind)))
      return Line(*stored + kind);
  }
  return Line("none");
}

PicAnswer Fetch(std::string_view argument, const std::string& archive_path) {
  if (archive_path.empty()) return Line("error");
  std::string path = capture::ArchiveFilePath(archive_path, argument);
  if (!FileExists(path)) return Line("error");
  PicAnswer answer;
  answer.kind = PicAnswer::Kind::kFile;
  answer.path = std::move(path);
  return answer;
}

}  // namespace

PicAnswer AnswerRequest(std::string_view line, const std::string& archive_path, int name_format) {
  if (line.empty()) return Close();
  char request = line.front();
  std::string_view argument = line.substr(1);
  if (request != 'R' && request != 'F') return Close();
  if (!capture::IsSafeNamePart(argument)) return Close();
  if (request == 'R') return Lookup(argument, archive_path, name_format);
  return Fetch(argument, archive_path);
}

FetchFile::FetchFile(const std::string& path) {
  if (platform::WritingFiles::Instance().IsBeingWritten(path)) return;
  // Non-blocking, so that a named pipe cannot hold the connection; it is
  // refused below as no regular file.
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd_, LOCK_SH | LOCK_NB) != 0 ||
      platform::WritingFiles::Instance().IsBeingWritten(path)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  size_ = st.st_size;
}

FetchFile::~FetchFile() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t FetchFile::Read(char* buffer, size_t capacity) {
  if (fd_ < 0) return -1;
  while (true) {
    ssize_t n = ::read(fd_, buffer, capacity);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace kestrin::picserver
