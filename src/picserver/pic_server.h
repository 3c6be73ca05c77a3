#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "picserver/pic_connection.h"
#include "service/archive_settings.h"
#include "service/main_log.h"
#include "service/metrics.h"

namespace kestrin::picserver {

// The descriptors budgeted for one connection while it is served: its
// socket and the file it sends, with as many again to spare for the
// process's other needs at the busiest moment.
inline constexpr uint64_t kDescriptorsPerPicConnection = 4;

// The connection cap for a process allowed `open_file_limit` descriptors:
// `requested`, but never so many that the picture connections would hold
// more than half of the descriptors; at least 1.
size_t PicConnectionCap(size_t requested, uint64_t open_file_limit);

// The picture server: clients look up and fetch archived photos over TCP,
// one request line and one reply per connection. A few event loops, one
// thread each (one per core by default), serve every connection. Each loop
// accepts from the one listening socket itself and serves what it accepted,
// so a connection never passes between threads and whichever loop is free
// takes the next one. A connection whose request has arrived is answered at
// once; one that has to wait costs a socket and a timer. No thread is started
// per connection. Beyond the connection cap (PicConnectionCap of the limits'
// cap and the process's descriptor limit) a new connection is closed at once,
// and a log line says so at most once a minute. A connection releases its
// descriptors as soon as it ends. Running out of descriptors closes the
// connection concerned and never ends the server.
class PicServer {
 public:
  // What the server uses of the service: the archive it serves, the log for
  // refused connections, the request counts. All must outlive the server.
  struct Services {
    const service::ArchiveSettings& archive;
    service::ServiceLog& log;
    service::Metrics& metrics;
  };

  explicit PicServer(Services services, PicServerLimits limits = {});
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
  // One event loop, its descriptor of the listening socket and the
  // connections it serves.
  struct Loop {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> keep{context.get_executor()};
    // Never waited on: making it opens the loop's event descriptors at once
    // rather than at its first connection, so that they are the server's
    // from its start.
    asio::steady_timer opener{context};
    tcp::acceptor acceptor{context};
    asio::steady_timer retry_timer{context};
    std::thread thread;
    // Only this loop's thread touches these.
    bool closing = false;
    uint64_t next_id = 0;
    std::unordered_map<uint64_t, std::weak_ptr<PicConnection>> open;
  };

  // Opens the listening socket on the first loop's acceptor. False on failure,
  // with nothing left open.
  bool Listen(int port);
  // Gives every other loop its own descriptor of the listening socket.
  bool ShareListener();
  // On `loop`: waits for new connections, then accepts those waiting.
  void AcceptNext(Loop& loop);
  void AcceptBatch(Loop& loop);
  // On `loop`: serves the connection it accepted (non-blocking socket `fd`)
  // at once as far as it can, and hands it to a waiting PicConnection when
  // it cannot finish.
  void Serve(Loop& loop, int fd);
  // On `loop`: the waiting connection of `exchange`, counted already.
  void Launch(Loop& loop, int fd, PicExchange exchange, PicExchange::Next next,
              std::chrono::steady_clock::time_point receive_deadline);
  // Logs a refused connection, at most once a minute.
  void NoteRefused();
  // On `loop`: stops its accepting, cuts its connections and lets it end
  // once they have.
  void CloseLoop(Loop& loop);

  Services services_;
  PicServerLimits limits_;
  std::vector<std::unique_ptr<Loop>> loops_;  // the first one opens the listener
  tcp protocol_ = tcp::v6();                  // of the listener and its connections
  int port_ = 0;
  size_t cap_ = 0;

  std::mutex refusal_mutex_;
  std::optional<std::chrono::steady_clock::time_point> refusal_logged_;

  // Connections counted against the cap: from accept until the one's
  // handlers have all run and it is freed. Every loop changes it.
  std::atomic<size_t> live_{0};

  std::mutex stop_mutex_;
  bool stopped_ = false;
};

}  // namespace kestrin::picserver
