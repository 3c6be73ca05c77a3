#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "picserver/pic_exchange.h"

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

// A picture connection whose exchange has to wait for its socket: waits for
// what the exchange asks, within the limits, advances it and closes once it
// is done. Driven entirely by the handlers of the socket's executor, so a
// silent client holds a socket and a timer and nothing else. The pending
// handlers own the connection (hold it in a shared_ptr); it ends when the
// last of them has run. The socket must be in non-blocking mode.
class PicConnection : public std::enable_shared_from_this<PicConnection> {
 public:
  // `exchange` has been advanced on `socket` already and asked for `next`
  // (not kClose); the request line is due by `receive_deadline`. `on_end`
  // runs on the executor as the connection's last act, after its socket and
  // file are closed.
  PicConnection(tcp::socket socket, PicExchange exchange,
                std::chrono::steady_clock::time_point receive_deadline,
                const PicServerLimits& limits, std::function<void()> on_end);
  PicConnection(const PicConnection&) = delete;
  PicConnection& operator=(const PicConnection&) = delete;
  ~PicConnection();

  // Waits for what the exchange asked for. Call once, on the executor.
  void Begin(PicExchange::Next next);
  // Closes the connection wherever it stands; the pending handlers then end
  // it. On the executor.
  void Cut();

 private:
  void Await(PicExchange::Next next);
  // Cuts the connection unless it moves on before `deadline`.
  void ArmTimer(std::chrono::steady_clock::time_point deadline);

  tcp::socket socket_;
  PicExchange exchange_;
  std::chrono::steady_clock::time_point receive_deadline_;
  PicServerLimits limits_;
  std::function<void()> on_end_;
  asio::steady_timer timer_;
  bool timer_armed_ = false;
};

}  // namespace kestrin::picserver
