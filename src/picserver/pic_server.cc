#include "picserver/pic_server.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <fmt/format.h>

#include "picserver/pic_request.h"
#include "platform/resource_limits.h"
#include "service/main_log.h"

namespace kestrin::picserver {
namespace {

// The kinds a request line and its reply are counted by.
std::string_view RequestKind(std::string_view line) {
  if (line.starts_with('R')) return "name";
  if (line.starts_with('F')) return "file";
  return "other";
}

std::string_view ReplyKind(const PicAnswer& answer) {
  switch (answer.kind) {
    case PicAnswer::Kind::kClose:
      return "no_reply";
    case PicAnswer::Kind::kFile:
      return "file";
    case PicAnswer::Kind::kLine:
      break;
  }
  if (answer.line == "none") return "not_found";
  if (answer.line == "error") return "error";
  return "name";
}

constexpr size_t kChunkSize = 64 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);

// One request and its reply on one connection, driven by the connection's
// own io_context.
class Session {
 public:
  Session(tcp::socket& socket, service::ServiceState& state, const PicServerLimits& limits)
      : socket_(socket), state_(state), limits_(limits), timer_(socket.get_executor()) {}

  void Begin() {
    ArmTimer(limits_.receive);
    ReadMore();
  }

  // Ends the connection; later handlers see it closed and stop.
  void Close() {
    asio::error_code ignored;
    timer_.cancel();
    if (!socket_.is_open()) return;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  void ArmTimer(std::chrono::steady_clock::duration limit) {
    timer_.expires_after(limit);
    timer_.async_wait([this](const asio::error_code& ec) {
      if (!ec) Close();
    });
  }

  void ReadMore() {
    socket_.async_read_some(asio::buffer(read_buffer_),
                            [this](const asio::error_code& ec, size_t n) {
                              if (ec) return Close();
                              line_.append(read_buffer_.data(), n);
                              size_t end = line_.find('\n');
                              if (end == std::string::npos) {
                                if (line_.size() > kMaxRequestLine) return Close();
                                return ReadMore();
                              }
                              if (end > kMaxRequestLine) return Close();
                              line_.resize(end);
                              if (!line_.empty() && line_.back() == '\r') line_.pop_back();
                              Respond();
                            });
  }

  void Respond() {
    // One reading of the archive folder for every path of this request.
    PicAnswer answer = AnswerRequest(line_, state_.archive_path.Get(), state_.name_format.load());
    state_.metrics().PictureRequest(RequestKind(line_), ReplyKind(answer));
    switch (answer.kind) {
      case PicAnswer::Kind::kClose:
        return Close();
      case PicAnswer::Kind::kLine:
        head_ = answer.line + "\r\n";
        return Write(0, [this] { Close(); });
      case PicAnswer::Kind::kFile:
        file_ = OpenFetchFile(answer);
        head_ = std::to_string(file_.size()) + "\r\n";
        if (file_.size() < 0) return Write(0, [this] { Close(); });
        remaining_ = file_.size();
        // The size line goes out together with the first piece of the file.
        return SendChunk();
    }
  }

  void SendChunk() {
    size_t n = 0;
    if (remaining_ > 0) {
      chunk_.resize(kChunkSize);
      int64_t got = file_.Read(chunk_.data(), std::min<int64_t>(remaining_, kChunkSize));
      // A file cut short while it is sent ends the reply early; the client
      // sees fewer bytes than announced.
      if (got <= 0) return Close();
      n = static_cast<size_t>(got);
      remaining_ -= got;
    }
    Write(n, [this] {
      if (remaining_ > 0) return SendChunk();
      Close();
    });
  }

  // Sends the pending head line (if any) and the first `chunk_bytes` of the
  // chunk buffer, then runs `next`.
  void Write(size_t chunk_bytes, std::function<void()> next) {
    std::array<asio::const_buffer, 2> buffers = {asio::buffer(head_),
                                                 asio::buffer(chunk_.data(), chunk_bytes)};
    ArmTimer(limits_.send);
    asio::async_write(socket_, buffers,
                      [this, next = std::move(next)](const asio::error_code& ec, size_t) {
                        head_.clear();
                        if (ec) return Close();
                        next();
                      });
  }

  tcp::socket& socket_;
  service::ServiceState& state_;
  PicServerLimits limits_;
  asio::steady_timer timer_;
  std::array<char, 512> read_buffer_{};
  std::string line_;
  std::string head_;
  std::vector<char> chunk_;
  platform::ArchiveFile file_;
  int64_t remaining_ = 0;
};

}  // namespace

void PicServerExecute(asio::io_context& context, tcp::socket& socket, service::ServiceState& state,
                      const PicServerLimits& limits) {
  Session session(socket, state, limits);
  session.Begin();
  context.run();
  // Finished, or cut by a stop: close, then let the aborted handlers finish
  // while the session still exists.
  session.Close();
  context.restart();
  context.run();
}

size_t PicConnectionCap(size_t requested, uint64_t open_file_limit) {
  const uint64_t affordable = open_file_limit / 2 / kDescriptorsPerPicConnection;
  return static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(requested, affordable)));
}

// A connection's event loop and socket live only while its thread serves it:
// the thread releases them (four descriptors) as its last act, under the
// server's mutex, and the object waits for the next reaping to be joined.
struct PicServer::Connection {
  std::unique_ptr<asio::io_context> context;
  std::optional<tcp::socket> socket;
  std::thread thread;
  bool finished = false;  // under the server's mutex
};

PicServer::PicServer(service::ServiceState& state, PicServerLimits limits)
    : state_(state),
      limits_(limits),
      acceptor_(accept_context_),
      retry_timer_(accept_context_),
      accepted_(accept_context_) {}

PicServer::~PicServer() {
  Stop();
}

bool PicServer::Start(int port) {
  cap_ = PicConnectionCap(limits_.max_connections, platform::OpenFileLimit());
  asio::error_code ec;
  // One socket for IPv6 and IPv4 where the machine has IPv6; IPv4 otherwise.
  tcp::endpoint endpoint(tcp::v6(), static_cast<uint16_t>(port));
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
  if (ec) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    endpoint = tcp::endpoint(tcp::v4(), static_cast<uint16_t>(port));
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) return false;
  }
  acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  AcceptNext();
  try {
    accept_thread_ = std::thread([this] { accept_context_.run(); });
  } catch (const std::system_error&) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    port_ = 0;
    return false;
  }
  return true;
}

void PicServer::AcceptNext() {
  acceptor_.async_accept(accepted_, [this](const asio::error_code& ec) {
    if (!acceptor_.is_open() || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or the like: try again shortly rather than spin.
      // The client waits in the backlog meanwhile.
      retry_timer_.expires_after(kAcceptRetry);
      retry_timer_.async_wait([this](const asio::error_code& wait_ec) {
        if (!wait_ec && acceptor_.is_open()) AcceptNext();
      });
      return;
    }
    Launch(std::move(accepted_));
    accepted_ = tcp::socket(accept_context_);
    AcceptNext();
  });
}

void PicServer::Launch(tcp::socket accepted) {
  // `accepted` closes when it goes out of scope unless a connection took it.
  asio::error_code ec;
  const tcp protocol = accepted.local_endpoint(ec).protocol();
  if (ec) return;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    ReapFinished();
    if (stopping_) return;
    refused = connections_.size() >= cap_;
    if (!refused) {
      auto connection = std::make_unique<Connection>();
      Connection* raw = connection.get();
      try {
        // Each of these needs descriptors or a thread; without them the
        // connection is closed unanswered.
        raw->context = std::make_unique<asio::io_context>();
        raw->socket.emplace(*raw->context);
        const tcp::socket::native_handle_type fd = accepted.release(ec);
        if (ec) return;
        raw->socket->assign(protocol, fd, ec);
        if (ec) {
          ::close(fd);
          return;
        }
        raw->thread = std::thread([this, raw] {
          PicServerExecute(*raw->context, *raw->socket, state_, limits_);
          {
            std::lock_guard end_lock(mutex_);
            raw->socket.reset();
            raw->context.reset();
            raw->finished = true;
          }
          ReapSoon();
        });
      } catch (const std::exception&) {
        return;
      }
      connections_.push_back(std::move(connection));
    }
  }
  if (refused) NoteRefused();
}

void PicServer::ReapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t PicServer::connection_count() {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

void PicServer::ReapSoon() {
  // On the accept thread, so that no connection thread joins another. After
  // a stop nothing runs there; Stop joins every thread itself.
  asio::post(accept_context_, [this] {
    std::lock_guard lock(mutex_);
    if (!stopping_) ReapFinished();
  });
}

void PicServer::NoteRefused() {
  const auto now = std::chrono::steady_clock::now();
  if (refusal_logged_ && now - *refusal_logged_ < kRefusalLogInterval) return;
  refusal_logged_ = now;
  try {
    state_.log().MainLog(fmt::format(
        "Сервер фотографий: {} соединений одновременно, новые соединения закрываются", cap_));
  } catch (const service::LogWriteError&) {
    // The log itself may be out of descriptors; the refusal stands.
  }
}

void PicServer::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  if (accept_thread_.joinable()) {
    asio::post(accept_context_, [this] {
      asio::error_code ignored;
      acceptor_.close(ignored);
      retry_timer_.cancel();
      accept_context_.stop();
    });
    accept_thread_.join();
  }
  std::list<std::unique_ptr<Connection>> open;
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
      if (!connection->finished) connection->context->stop();
    }
    open.swap(connections_);
  }
  for (auto& connection : open) connection->thread.join();
}

}  // namespace kestrin::picserver
