#include "picserver/pic_server.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <fmt/format.h>

#include "platform/resource_limits.h"
#include "platform/stream_socket.h"
#include "service/main_log.h"

namespace kestrin::picserver {
namespace {

constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);
// The most connections a loop accepts in a row before its other handlers run.
constexpr int kAcceptBatch = 32;

size_t LoopCount(size_t requested) {
  if (requested > 0) return requested;
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
}

// The loops' constructor arguments, built before the acceptor needs the first.
template <typename Loop>
std::vector<std::unique_ptr<Loop>> MakeLoops(size_t count) {
  std::vector<std::unique_ptr<Loop>> loops;
  for (size_t i = 0; i < count; ++i) loops.push_back(std::make_unique<Loop>());
  return loops;
}

}  // namespace

size_t PicConnectionCap(size_t requested, uint64_t open_file_limit) {
  const uint64_t affordable = open_file_limit / 2 / kDescriptorsPerPicConnection;
  return static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(requested, affordable)));
}

PicServer::PicServer(Services services, PicServerLimits limits)
    : services_(services), limits_(limits), loops_(MakeLoops<Loop>(LoopCount(limits.loops))) {}

PicServer::~PicServer() {
  Stop();
}

bool PicServer::Listen(int port) {
  tcp::acceptor& acceptor = loops_.front()->acceptor;
  asio::error_code ec;
  // One socket for IPv6 and IPv4 where the machine has IPv6; IPv4 otherwise.
  tcp::endpoint endpoint(tcp::v6(), static_cast<uint16_t>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
    endpoint = tcp::endpoint(tcp::v4(), static_cast<uint16_t>(port));
    acceptor.open(endpoint.protocol(), ec);
    if (ec) return false;
  }
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  // The loops take connections from it in turn: none may block on it.
  if (!ec) acceptor.non_blocking(true, ec);
  if (!ec) port_ = acceptor.local_endpoint(ec).port();
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
    port_ = 0;
    return false;
  }
  protocol_ = endpoint.protocol();
  return true;
}

bool PicServer::ShareListener() {
  tcp::acceptor& first = loops_.front()->acceptor;
  for (size_t i = 1; i < loops_.size(); ++i) {
    // The same socket, not one per loop bound with SO_REUSEPORT: the port
    // stays this server's alone, and the loops share one queue of new
    // connections.
    const int fd = platform::DuplicateSocket(first.native_handle());
    asio::error_code ec;
    if (fd >= 0) loops_[i]->acceptor.assign(protocol_, fd, ec);
    if (fd < 0 || ec) {
      if (fd >= 0 && !loops_[i]->acceptor.is_open()) platform::CloseSocket(fd);
      for (auto& loop : loops_) loop->acceptor.close(ec);
      port_ = 0;
      return false;
    }
  }
  return true;
}

bool PicServer::Start(int port) {
  cap_ = PicConnectionCap(limits_.max_connections, platform::OpenFileLimit());
  if (!Listen(port) || !ShareListener()) return false;
  for (auto& loop : loops_) AcceptNext(*loop);
  for (auto& loop : loops_) {
    try {
      loop->thread = std::thread([&context = loop->context] {
        // Files go out by sendfile, which has no MSG_NOSIGNAL.
        platform::BlockBrokenPipeSignal();
        context.run();
      });
    } catch (const std::system_error&) {
      // Without its threads the server does not start. The loops without a
      // thread close their listeners here; those that run end in Stop.
      for (auto& idle : loops_) {
        asio::error_code ignored;
        if (!idle->thread.joinable()) idle->acceptor.close(ignored);
      }
      Stop();
      port_ = 0;
      return false;
    }
  }
  return true;
}

void PicServer::AcceptNext(Loop& loop) {
  loop.acceptor.async_wait(tcp::acceptor::wait_read, [this, &loop](const asio::error_code& ec) {
    if (loop.closing || !loop.acceptor.is_open() || ec == asio::error::operation_aborted) return;
    AcceptBatch(loop);
  });
}

void PicServer::AcceptBatch(Loop& loop) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    int fd = -1;
    switch (platform::AcceptStream(loop.acceptor.native_handle(), &fd)) {
      case platform::SocketResult::kDone:
        Serve(loop, fd);
        break;
      case platform::SocketResult::kWouldBlock:
        return AcceptNext(loop);
      default:
        // Out of descriptors or the like: try again shortly rather than
        // spin. The client waits in the backlog meanwhile.
        loop.retry_timer.expires_after(kAcceptRetry);
        loop.retry_timer.async_wait([this, &loop](const asio::error_code& wait_ec) {
          if (!wait_ec && !loop.closing && loop.acceptor.is_open()) AcceptBatch(loop);
        });
        return;
    }
  }
  // More may be waiting: they come after the loop's other handlers.
  asio::post(loop.context, [this, &loop] {
    if (!loop.closing && loop.acceptor.is_open()) AcceptBatch(loop);
  });
}

void PicServer::Serve(Loop& loop, int fd) {
  if (live_.fetch_add(1) >= cap_) {
    live_.fetch_sub(1);
    // Noted first, so that the line is in the log once the client sees the end.
    NoteRefused();
    platform::CloseSocket(fd);
    return;
  }
  const auto accepted_at = std::chrono::steady_clock::now();
  PicExchange exchange(services_.archive, services_.metrics);
  PicExchange::Next next = PicExchange::Next::kClose;
  try {
    next = exchange.Advance(fd);
  } catch (const std::exception&) {
    // Out of memory: the connection is dropped.
  }
  if (next == PicExchange::Next::kClose) {
    platform::CloseSocket(fd);
    live_.fetch_sub(1);
    return;
  }
  Launch(loop, fd, std::move(exchange), next, accepted_at + limits_.receive);
}

void PicServer::Launch(Loop& loop, int fd, PicExchange exchange, PicExchange::Next next,
                       std::chrono::steady_clock::time_point receive_deadline) {
  tcp::socket accepted(loop.context);
  asio::error_code ec;
  accepted.assign(protocol_, fd, ec);
  if (ec) {
    platform::CloseSocket(fd);
    live_.fetch_sub(1);
    return;
  }
  accepted.non_blocking(true, ec);
  if (ec) {
    live_.fetch_sub(1);
    return;
  }
  const uint64_t id = loop.next_id++;
  std::shared_ptr<PicConnection> connection;
  try {
    connection = std::make_shared<PicConnection>(
        std::move(accepted), std::move(exchange), receive_deadline, limits_, [this, &loop, id] {
          loop.open.erase(id);
          // Counted off once the connection's memory is freed too, that is
          // after the handler that ended it has returned.
          asio::post(loop.context, [this] { live_.fetch_sub(1); });
        });
  } catch (const std::exception&) {
    live_.fetch_sub(1);  // out of memory: the connection is dropped
    return;
  }
  try {
    loop.open[id] = connection;
    connection->Begin(next);
  } catch (const std::exception&) {
    connection->Cut();  // its end counts it off
  }
}

void PicServer::NoteRefused() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(refusal_mutex_);
    if (refusal_logged_ && now - *refusal_logged_ < kRefusalLogInterval) return;
    refusal_logged_ = now;
  }
  try {
    services_.log.MainLog(fmt::format(
        "Сервер фотографий: {} соединений одновременно, новые соединения закрываются", cap_));
  } catch (const service::LogWriteError&) {
    // The log itself may be out of descriptors; the refusal stands.
  }
}

void PicServer::CloseLoop(Loop& loop) {
  loop.closing = true;
  asio::error_code ignored;
  loop.acceptor.close(ignored);
  loop.retry_timer.cancel();
  std::vector<std::shared_ptr<PicConnection>> open;
  for (auto& [id, weak] : loop.open) {
    if (auto connection = weak.lock()) open.push_back(std::move(connection));
  }
  for (auto& connection : open) connection->Cut();
  // The loop runs out of work, and its thread returns, once the aborted
  // handlers of the cut connections have run and freed them.
  loop.keep.reset();
}

void PicServer::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  for (auto& loop : loops_) {
    if (!loop->thread.joinable()) continue;
    asio::post(loop->context, [this, &target = *loop] { CloseLoop(target); });
  }
  for (auto& loop : loops_) {
    if (loop->thread.joinable()) loop->thread.join();
  }
}

}  // namespace kestrin::picserver
