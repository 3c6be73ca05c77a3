#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "service/service_state.h"

namespace kestrin::picserver {

// How long a connection may take to deliver its request line, and each piece
// of the reply to leave.
struct PicServerLimits {
  std::chrono::milliseconds receive{30000};
  std::chrono::milliseconds send{30000};
};

// The picture server: clients look up and fetch archived photos over TCP,
// one request line and one reply per connection. Every connection is served
// by its own thread; the connections share nothing but the archive folder.
class PicServer {
 public:
  explicit PicServer(service::ServiceState& state, PicServerLimits limits = {});
  PicServer(const PicServer&) = delete;
  PicServer& operator=(const PicServer&) = delete;
  ~PicServer();

  // Listens on `port` of every local address (0: a free port) and starts
  // accepting. False when the port cannot be listened on. Call once.
  bool Start(int port);

  // Stops accepting, cuts the open connections and waits for their threads.
  void Stop();

  // The port listened on; 0 before a successful start.
  int port() const { return port_; }

 private:
  struct Connection;

  void AcceptNext();
  void Launch(std::unique_ptr<Connection> connection);
  // Joins and forgets connections whose threads have ended. Under mutex_.
  void ReapFinished();

  service::ServiceState& state_;
  PicServerLimits limits_;
  asio::io_context accept_context_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_timer_;
  std::thread accept_thread_;
  int port_ = 0;

  std::mutex mutex_;
  bool stopping_ = false;
  std::list<std::unique_ptr<Connection>> connections_;
};

// Serves one accepted connection to its end: reads the request line (at most
// kMaxRequestLine bytes within the receive limit), answers it and closes.
// Runs the connection's own `context` on the calling thread; stopping that
// context cuts the connection.
void PicServerExecute(asio::io_context& context, asio::ip::tcp::socket& socket,
                      service::ServiceState& state, const PicServerLimits& limits);

}  // namespace kestrin::picserver
