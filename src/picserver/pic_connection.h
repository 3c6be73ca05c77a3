#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "platform/archive_file.h"
#include "service/archive_settings.h"
#include "service/metrics.h"

namespace kestrin::picserver {

using tcp = asio::ip::tcp;

// The most connections served at once.
inline constexpr size_t kMaxPicConnections = 1024;

// How long a connection may take to deliver its request line, and each piece
// of the reply to leave, how many connections are served at once, and by how
// many event loops (0: one per core).
struct PicServerLimits {
  std::chrono::milliseconds receive{30000};
  std::chrono::milliseconds send{30000};
  size_t max_connections = kMaxPicConnections;
  size_t loops = 0;
};

// One connection of the picture server, from its accepted socket to its
// close: reads the request line (at most kMaxRequestLine bytes within the
// receive limit), answers it and closes. Driven entirely by the handlers of
// the socket's executor, so a silent client holds a socket and a timer and
// nothing else. A file is sent from its opened descriptor inside the kernel,
// never through user memory, and never beyond the size its size line named.
// The pending handlers own the connection (hold it in a shared_ptr); it ends
// when the last of them has run. The socket must be in non-blocking mode.
class PicConnection : public std::enable_shared_from_this<PicConnection> {
 public:
  // `on_end` runs on the executor as the connection's last act, after its
  // socket and file are closed. `archive` and `metrics` must outlive it.
  PicConnection(tcp::socket socket, const service::ArchiveSettings& archive,
                service::Metrics& metrics, const PicServerLimits& limits,
                std::function<void()> on_end);
  PicConnection(const PicConnection&) = delete;
  PicConnection& operator=(const PicConnection&) = delete;
  ~PicConnection();

  // Starts reading the request. Call once, on the executor.
  void Begin();
  // Closes the connection wherever it stands; the pending handlers then end
  // it. On the executor.
  void Cut();

 private:
  void ArmTimer(std::chrono::steady_clock::duration limit);
  void ReadMore();
  void Respond();
  // Sends the rest of the head line and then of the file, as far as the
  // socket takes them now; waits for room when it is full.
  void Pump();
  void AwaitWritable();

  tcp::socket socket_;
  const service::ArchiveSettings& archive_;
  service::Metrics& metrics_;
  PicServerLimits limits_;
  std::function<void()> on_end_;
  asio::steady_timer timer_;
  std::string line_;
  std::string head_;
  size_t head_sent_ = 0;
  platform::ArchiveFile file_;
  int64_t offset_ = 0;
  int64_t end_ = 0;  // the file's size when it was opened
};

}  // namespace kestrin::picserver
