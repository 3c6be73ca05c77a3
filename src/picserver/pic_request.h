#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrin::picserver {

// The longest request line the server reads, without its LF. The longest
// legitimate request is 26 characters plus CR.
inline constexpr size_t kMaxRequestLine = 256;

// What the server does with one request line.
struct PicAnswer {
  enum class Kind {
    kClose,  // close the connection without a reply
    kLine,   // send `line` and CR LF, then close
    kFile,   // send the size line and the bytes of the file at `path`
  };
  Kind kind = Kind::kClose;
  std::string line;
  std::string path;
};

// Answers one request line (LF and an optional CR already removed):
//   "R" + addressed name: the stored name followed by the kind digit of the
//       file that exists (multi-frame first), or "none";
//   "F" + file name without ".jpg": the file, or "error";
//   anything else: no reply.
// `archive_path` is the one reading of the archive folder for this request.
// Lookup only tests existence; whether the file can be read is decided when
// it is sent.
PicAnswer AnswerRequest(std::string_view line, const std::string& archive_path, int name_format);

// A file opened for sending. `size` is -1 when the file cannot be read: it
// is missing, no regular file, or still being written by a saver of this
// process or locked by another process.
class FetchFile {
 public:
  explicit FetchFile(const std::string& path);
  FetchFile(const FetchFile&) = delete;
  FetchFile& operator=(const FetchFile&) = delete;
  ~FetchFile();

  int64_t size() const { return size_; }
  // Reads up to `capacity` bytes; 0 at the end of the file, -1 on an error.
  int64_t Read(char* buffer, size_t capacity);

 private:
  int fd_ = -1;
  int64_t size_ = -1;
};

}  // namespace kestrin::picserver
