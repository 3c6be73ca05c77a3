#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "picserver/pic_connection.h"
#include "service/service_state.h"

namespace kestrin::picserver {

// The descriptors budgeted for one connection while it is served: its
// socket, the file it sends, the archive folder opened to find that file,
// and one to spare.
inline constexpr uint64_t kDescriptorsPerPicConnection = 4;

// The connection cap for a process allowed `open_file_limit` descriptors:
// `requested`, but never so many that the picture connections would hold
// more than half of the descriptors; at least 1.
size_t PicConnectionCap(size_t requested, uint64_t open_file_limit);

// The picture server: clients look up and fetch archived photos over TCP,
// one request line and one reply per connection. One event loop on one
// thread accepts and serves every connection; no thread is started per
// connection. Beyond the connection cap (PicConnectionCap of the limits' cap
// and the process's descriptor limit) a new connection is closed at once,
// and a log line says so at most once a minute. A connection releases its
// descriptors as soon as it ends. Running out of descriptors closes the
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

  // Stops accepting, cuts the open connections and waits until every one
  // has ended. Returns without waiting for any client.
  void Stop();

  // The port listened on; 0 before a successful start.
  int port() const { return port_; }
  // The connection cap in force after a successful start.
  size_t connection_cap() const { return cap_; }
  // Connections accepted and not yet fully closed and freed.
  size_t connection_count() const { return live_.load(); }

 private:
  void AcceptNext();
  // Serves the accepted socket, or closes it beyond the cap.
  void Launch(tcp::socket accepted);
  // Logs a refused connection, at most once a minute.
  void NoteRefused();
  // On the loop: closes the acceptor and cuts every open connection.
  void CloseAll();

  service::ServiceState& state_;
  PicServerLimits limits_;
  asio::io_context context_{1};
  tcp::acceptor acceptor_;
  asio::steady_timer retry_timer_;
  std::thread loop_thread_;
  int port_ = 0;
  size_t cap_ = 0;

  // Only the loop thread touches these.
  std::optional<std::chrono::steady_clock::time_point> refusal_logged_;
  bool closing_ = false;
  uint64_t next_id_ = 0;
  std::unordered_map<uint64_t, std::weak_ptr<PicConnection>> open_;
  // Connections counted against the cap: from accept until the one's
  // handlers have all run and it is freed.
  std::atomic<size_t> live_{0};

  std::mutex stop_mutex_;
  bool stopped_ = false;
};

}  // namespace kestrin::picserver
