#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/archive_file.h"

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
  std::string path;       // the file as savers name it
  std::string folder;     // the archive folder of `path`
  std::string file_name;  // the entry of `path` in `folder`
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

// Opens the file of a fetch answer for sending. Not open (size -1) when the
// file cannot be read: it is missing, a symbolic link, no regular file, or
// still being written by a saver of this process or locked by another
// process.
platform::ArchiveFile OpenFetchFile(const PicAnswer& answer);

}  // namespace kestrin::picserver
