#pragma once

// Helpers for the transport tests: a main loop on its own thread, a recorder
// of connection events, and a raw TCP peer that speaks bytes, so the tests can
// check exactly what goes over the wire.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/main_loop.h"
#include "transport/websocket_client.h"
#include "transport/websocket_handshake.h"

namespace kestrin::transport::testing {

using namespace std::chrono_literals;

// Runs a MainLoop on a thread of its own, which thereby is "the main thread".
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop_.Run(); }) {
    while (!Running()) std::this_thread::sleep_for(1ms);
  }
  ~LoopThread() {
    loop_.Stop();
    thread_.join();
  }
  platform::MainLoop& loop() { return loop_; }

  // Runs `call` on the main thread and waits for it.
  void Run(const std::function<void()>& call) { loop_.CallSynchronized(call); }

 private:
  bool Running() {
    std::promise<void> ran;
    loop_.Post([&] { ran.set_value(); });
    return ran.get_future().wait_for(100ms) == std::future_status::ready;
  }

  platform::MainLoop loop_;
  std::thread thread_;
};

struct ReadEvent {
  bool final = false, res1 = false, res2 = false, res3 = false;
  int32_t code = -1;
  std::string data;
};

struct CloseEvent {
  int32_t code = -1;
  std::string reason;
  bool by_peer = false;
};

// Collects the events of one connection; every handler also notes whether it
// ran on the main thread.
class Recorder {
 public:
  explicit Recorder(platform::MainLoop& loop) : loop_(loop) {}

  void Attach(TWebSocketCustomConnection& c) {
    c.SetOnOpen([this](TWebSocketCustomConnection&) { Note([&] { ++opens; }); });
    c.SetOnRead([this](TWebSocketCustomConnection&, bool f, bool r1, bool r2, bool r3, int32_t code,
                       const std::string& data) {
      Note([&] { reads.push_back({f, r1, r2, r3, code, data}); });
      if (on_read) on_read();
    });
    c.SetOnClose(
        [this](TWebSocketCustomConnection&, int32_t code, const std::string& reason, bool by_peer) {
          Note([&] { closes.push_back({code, reason, by_peer}); });
        });
  }

  // Waits until `done` holds (checked under the recorder's lock).
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex);
    return cv_.wait_for(lock, timeout, done);
  }
  bool WaitOpen() {
    return WaitFor([&] { return opens > 0; });
  }
  bool WaitReads(size_t n) {
    return WaitFor([&] { return reads.size() >= n; });
  }
  bool WaitClose(std::chrono::milliseconds timeout = 5s) {
    return WaitFor([&] { return !closes.empty(); }, timeout);
  }

  std::mutex mutex;
  int opens = 0;
  std::vector<ReadEvent> reads;
  std::vector<CloseEvent> closes;
  bool all_on_main_thread = true;
  std::function<void()> on_read;  // runs inside OnRead, on the main thread

 private:
  void Note(const std::function<void()>& change) {
    {
      std::lock_guard lock(mutex);
      if (!loop_.InMainThread()) all_on_main_thread = false;
      change();
    }
    cv_.notify_all();
  }

  platform::MainLoop& loop_;
  std::condition_variable cv_;
};

// A frame as the peer received it.
struct WireFrame {
  uint8_t byte0 = 0;
  bool masked = false;
  uint64_t length = 0;
  std::string header;  // every header byte, key included
  MaskingKey key{};
  std::string payload;  // unmasked
  int32_t opcode() const { return byte0 & 0x0F; }
};

// One accepted TCP connection, spoken to byte by byte.
class RawPeer {
 public:
  explicit RawPeer(int fd) : fd_(fd) {}
  RawPeer(RawPeer&& o) noexcept : fd_(o.fd_), buffer_(std::move(o.buffer_)), eof_(o.eof_) {
    o.fd_ = -1;
  }
  RawPeer& operator=(RawPeer&& o) noexcept {
    if (this != &o) {
      Close();
      fd_ = o.fd_;
      buffer_ = std::move(o.buffer_);
      eof_ = o.eof_;
      o.fd_ = -1;
    }
    return *this;
  }
  RawPeer(const RawPeer&) = delete;
  ~RawPeer() { Close(); }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  void Send(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += n;
    }
  }

  // Exactly `n` bytes, or nullopt when they do not come within `timeout`.
  std::optional<std::string> Read(size_t n, std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffer_.size() < n) {
      if (!Fill(deadline)) return std::nullopt;
    }
    std::string out = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return out;
  }

  // The request head up to and including the empty line.
  std::optional<std::string> ReadHead(std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::string head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        return head;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  std::optional<WireFrame> ReadFrame(std::chrono::milliseconds timeout = 5s) {
    WireFrame f;
    auto two = Read(2, timeout);
    if (!two) return std::nullopt;
    f.header = *two;
    f.byte0 = static_cast<uint8_t>((*two)[0]);
    f.masked = ((*two)[1] & 0x80) != 0;
    f.length = (*two)[1] & 0x7F;
    if (f.length >= 126) {
      auto ext = Read(f.length == 126 ? 2 : 8, timeout);
      if (!ext) return std::nullopt;
      f.header += *ext;
      f.length = 0;
      for (char c : *ext) f.length = (f.length << 8) | static_cast<uint8_t>(c);
    }
    if (f.masked) {
      auto key = Read(4, timeout);
      if (!key) return std::nullopt;
      f.header += *key;
      for (int i = 0; i < 4; ++i) f.key[i] = static_cast<uint8_t>((*key)[i]);
    }
    auto payload = Read(f.length, timeout);
    if (!payload) return std::nullopt;
    f.payload = *payload;
    if (f.masked) ApplyMask(f.payload, f.key);
    return f;
  }

  // True when the other side closes the connection within `timeout` and sent
  // nothing more before it.
  bool WaitEof(std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t before = buffer_.size();
    while (Fill(deadline)) {
    }
    return eof_ && buffer_.size() == before;
  }

  // True when nothing arrives within `timeout` (and the connection stays up).
  bool Silent(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t before = buffer_.size();
    Fill(deadline);
    return buffer_.size() == before && !eof_;
  }

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (eof_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.append(chunk, n);
    return true;
  }

  int fd_;
  std::string buffer_;
  bool eof_ = false;
};

// A listening socket on 127.0.0.1 with a free port.
class RawServer {
 public:
  RawServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd_, 8);
    socklen_t len = sizeof(a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~RawServer() { ::close(fd_); }

  std::string Port() const { return std::to_string(port_); }

  std::optional<RawPeer> Accept(std::chrono::milliseconds timeout = 5s) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return std::nullopt;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return RawPeer(fd);
  }

 private:
  int fd_;
  int port_ = 0;
};

// The value of header `name` (exact spelling) in a request head, or "".
inline std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}

// The answer of a well-behaved server to `request_head`.
inline std::string GoodResponse(const std::string& request_head) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         AcceptFor(HeaderValue(request_head, "Sec-WebSocket-Key")) + "\r\n\r\n";
}

// An unmasked server frame; `length_bytes` forces the 2- or 8-byte length form.
inline std::string ServerFrame(uint8_t byte0, std::string_view payload, int length_bytes = 0,
                               const MaskingKey* key = nullptr) {
  std::string f(1, static_cast<char>(byte0));
  uint8_t mask_bit = key ? 0x80 : 0;
  if (length_bytes == 0 && payload.size() < 126) {
    f += static_cast<char>(mask_bit | payload.size());
  } else if (length_bytes == 2 || (length_bytes == 0 && payload.size() < 65536)) {
    f += static_cast<char>(mask_bit | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xFF);
  } else {
    f += static_cast<char>(mask_bit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) f += static_cast<char>(payload.size() >> shift);
  }
  std::string body(payload);
  if (key) {
    f.append(reinterpret_cast<const char*>(key->data()), 4);
    ApplyMask(body, *key);
  }
  return f + body;
}

// A client connection to a RawServer, its recorder and the accepted peer.
// Destruction ends the connection from the peer's side and waits for the
// connection's thread before the loop may go.
struct ClientUnderTest {
  ClientUnderTest(LoopThread& loop_thread, RawServer& server, std::string host = "127.0.0.1",
                  std::string origin = "-", std::string protocol = "-", std::string extension = "-",
                  std::string cookie = "-", int32_t version = 13)
      : loop(loop_thread), recorder(loop_thread.loop()) {
    auto c = TWebSocketClientConnection::Create(loop_thread.loop(), std::move(host), server.Port(),
                                                "/", std::move(origin), std::move(protocol),
                                                std::move(extension), std::move(cookie), version);
    recorder.Attach(*c);
    index = c->Index();
    handle = ConnectionHandle(c);
    c->Start();
    c.reset();
    peer = server.Accept();
  }
  ~ClientUnderTest() {
    if (peer) peer->Close();
    EXPECT_TRUE(handle.WaitEnded(15s)) << "the connection thread did not end";
  }

  // Reads the request and answers it well; true when OnOpen followed.
  bool CompleteHandshake() {
    if (!peer) return false;
    request = peer->ReadHead().value_or("");
    peer->Send(GoodResponse(request));
    return recorder.WaitOpen();
  }

  LoopThread& loop;
  Recorder recorder;
  ConnectionHandle handle;
  int32_t index = -1;
  std::optional<RawPeer> peer;
  std::string request;
};

}  // namespace kestrin::transport::testing
