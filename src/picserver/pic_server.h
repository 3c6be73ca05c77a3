#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "service/service_state.h"

namespace kestrin::picserver {

using tcp = asio::ip::tcp;

// The most connections served at once.
inline constexpr size_t kMaxPicConnections = 1024;
// Descriptors one connection holds while it is served: the socket and its
// own event loop's three.
inline constexpr uint64_t kDescriptorsPerPicConnection = 4;

// How long a connection may take to deliver its request line, and each piece
// of the reply to leave, and how many connections are served at once.
struct PicServerLimits {
  std::chrono::milliseconds receive{30000};
  std::chrono::milliseconds send{30000};
  size_t max_connections = kMaxPicConnections;
};

// The connection cap for a process allowed `open_file_limit` descriptors:
// `requested`, but never so many that the picture connections would hold
// more than half of the descriptors; at least 1.
size_t PicConnectionCap(size_t requested, uint64_t open_file_limit);

// The picture server: clients look up and fetch archived photos over TCP,
// one request line and one reply per connection. Every connection is served
// by its own thread; the connections share nothing but the archive folder.
// Beyond the connection cap (PicConnectionCap of the limits' cap and the
// process's descriptor limit) a new connection is closed at once, and a log
// line says so at most once a minute. A connection releases its descriptors
// as soon as it ends. Running out of descriptors or threads closes the
// connection concerned and never ends the server.
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
  // The connection cap in force after a successful start.
  size_t connection_cap() const { return cap_; }
  // Connections accepted whose threads have not yet been joined.
  size_t connection_count();

 private:
  struct Connection;

  void AcceptNext();
  // Hands the accepted socket to a connection of its own, or closes it.
  void Launch(tcp::socket accepted);
  // Joins and forgets connections whose threads have ended. Under mutex_.
  void ReapFinished();
  void ReapSoon();
  // Logs a refused connection, at most once a minute.
  void NoteRefused();

  service::ServiceState& state_;
  PicServerLimits limits_;
  asio::io_context accept_context_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_timer_;
  tcp::socket accepted_;
  std::thread accept_thread_;
  int port_ = 0;
  size_t cap_ = 0;
  // When the last refusal was logged; only the accept thread touches it.
  std::optional<std::chrono::steady_clock::time_point> refusal_logged_;

  std::mutex mutex_;
  bool stopping_ = false;
  std::list<std::unique_ptr<Connection>> connections_;
};

// Serves one accepted connection to its end: reads the request line (at most
// kMaxRequestLine bytes within the receive limit), answers it and closes.
// Runs the connection's own `context` on the calling thread; stopping that
// context cuts the connection.
void PicServerExecute(asio::io_context& context, tcp::socket& socket, service::ServiceState& state,
                      const PicServerLimits& limits);

}  // namespace kestrin::picserver
