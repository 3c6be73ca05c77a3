#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "picserver/pic_request.h"
#include "platform/archive_file.h"
#include "service/archive_settings.h"
#include "service/metrics.h"

namespace kestrin::picserver {

// The exchange of one picture connection on a non-blocking socket: reads the
// request line (at most kMaxRequestLine bytes), answers it and sends the
// reply, as far as the socket allows each time it is advanced. It never
// waits; its owner waits for what it asks and advances it again. A file is
// sent from its opened descriptor inside the kernel, never through user
// memory, and never beyond the size its size line named. Movable, so that an
// exchange begun at once can continue in a connection that waits.
class PicExchange {
 public:
  // What the exchange needs next.
  enum class Next {
    kReadable,  // more of the request line
    kWritable,  // room in the socket for the rest of the reply
    kClose,     // nothing: close the connection (reply sent, or none due)
  };

  // `archive` and `metrics` must outlive the exchange.
  PicExchange(const service::ArchiveSettings& archive, service::Metrics& metrics)
      : archive_(&archive), metrics_(&metrics) {}

  // Moves on as far as the socket `fd` allows now.
  Next Advance(int fd);
  // Closes the file being sent, if any; the exchange is over.
  void CloseFile() { file_ = platform::ArchiveFile(); }

 private:
  Next Read(int fd);
  // Answers the complete request line; false when no reply is due.
  bool Answer();
  Next Send(int fd);

  const service::ArchiveSettings* archive_;
  service::Metrics* metrics_;
  // Never more than one byte past the longest line.
  std::array<char, kMaxRequestLine + 2> line_;
  size_t line_size_ = 0;
  bool answered_ = false;
  std::string head_;
  size_t head_sent_ = 0;
  platform::ArchiveFile file_;
  int64_t offset_ = 0;
  int64_t end_ = 0;  // the file's size when it was opened
};

}  // namespace kestrin::picserver
