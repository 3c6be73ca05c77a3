#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web/rate_limit.h"
#include "web/request_handler.h"
#include "web/web_context.h"

namespace kestrin::web {

// Request bodies above this size are refused (status 413).
inline constexpr size_t kMaxRequestBody = 1 << 20;

// The web administration server: HTTP (or HTTPS, see UseTls) on one port, on
// every IPv4 address and, where the system has IPv6, on every IPv6 address too. Every connection
// runs on a thread of its own, so a request that pauses never holds up another client; a connection
// beyond a fixed number at once is closed unread (logged at most once a minute). GET, HEAD and POST
// requests go to the one WebHandler; a "Range" header is ignored.
class WebServer {
 public:
  explicit WebServer(WebContext context);
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  ~WebServer();  // stops

  // Serves HTTPS instead of HTTP: TLS 1.2 or later with the certificate
  // chain and the private key in the PEM files named. Before Start. Returns
  // an error text (the file and OpenSSL's reason), empty on success.
  std::string UseTls(const std::string& certificate_file, const std::string& key_file);

  // Binds `port` and starts serving. False when the port cannot be bound.
  // At most once.
  bool Start(int port);

  // Stops accepting, cuts short the pauses of running requests and waits
  // until every connection thread has ended. Idempotent.
  void Stop();

  // The port actually bound (useful with port 0), or 0 when not listening.
  int port() const { return port_.load(); }

 private:
  class Impl;

  // Waits `duration`, or less when Stop() is called.
  void Pause(std::chrono::milliseconds duration);

  // A connection was closed unread: logs it, at most once a minute.
  void LogRefusal();

  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  WebHandler handler_;
  std::function<void(const std::string&)> log_;  // the service log; empty without one
  RateLimit log_refusals_;
  std::unique_ptr<Impl> impl_;
  std::thread listener_;
  std::atomic<int> port_ = 0;
};

}  // namespace kestrin::web
