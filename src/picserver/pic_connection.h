#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "picserver/pic_request.h"
#include "platform/archive_file.h"
#include "service/service_state.h"

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
// nothing else. Each step is first tried at once; the connection waits on the
// socket, and arms its timer, only when the socket is not ready, so a client
// whose request is there when it is accepted is answered without either. A file is sent from its
// opened descriptor inside the kernel, never through user memory, and never beyond the size its
// size line named. The pending handlers own the connection (hold it in a shared_ptr); it ends when
// the last of them has run. The socket must be in non-blocking mode.
class PicConnection : public std::enable_shared_from_this<PicConnection> {
 public:
  // `on_end` runs on the executor as the connection's last act, after its
  // socket and file are closed.
  PicConnection(tcp::socket socket, service::ServiceState& state, const PicServerLimits& limits,
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
  // Cuts the connection unless it moves on before `deadline`.
  void ArmTimer(std::chrono::steady_clock::time_point deadline);
  // Reads what has arrived of the request line; waits for more when it is
  // incomplete.
  void ReadMore();
  void AwaitReadable();
  void Respond();
  // Sends the rest of the head line and then of the file, as far as the
  // socket takes them now; waits for room when it is full.
  void Pump();
  void AwaitWritable();

  tcp::socket socket_;
  service::ServiceState& state_;
  PicServerLimits limits_;
  std::function<void()> on_end_;
  asio::steady_timer timer_;
  bool timer_armed_ = false;
  std::chrono::steady_clock::time_point receive_deadline_;
  // Never more than one byte past the longest line.
  std::array<char, kMaxRequestLine + 2> line_;
  size_t line_size_ = 0;
  std::string head_;
  size_t head_sent_ = 0;
  platform::ArchiveFile file_;
  int64_t offset_ = 0;
  int64_t end_ = 0;  // the file's size when it was opened
};

}  // namespace kestrin::picserver
