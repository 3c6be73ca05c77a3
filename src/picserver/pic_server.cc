#include "picserver/pic_server.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <fmt/format.h>

#include "platform/resource_limits.h"
#include "service/main_log.h"

namespace kestrin::picserver {
namespace {

constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);

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
    : services_(services),
      limits_(limits),
      loops_(MakeLoops<Loop>(LoopCount(limits.loops))),
      acceptor_(loops_.front()->context),
      retry_timer_(loops_.front()->context) {}

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
  for (auto& loop : loops_) {
    try {
      loop->thread = std::thread([&context = loop->context] {
        // Files go out by sendfile, which has no MSG_NOSIGNAL.
        platform::BlockBrokenPipeSignal();
        context.run();
      });
    } catch (const std::system_error&) {
      // Without its threads the server does not start; the loops that run
      // end at once.
      if (!loops_.front()->thread.joinable()) {
        asio::error_code ignored;
        acceptor_.close(ignored);
      }
      Stop();
      port_ = 0;
      return false;
    }
  }
  return true;
}

void PicServer::AcceptNext() {
  Loop& target = *loops_[next_loop_];
  next_loop_ = (next_loop_ + 1) % loops_.size();
  acceptor_.async_accept(
      target.context, [this, &target](const asio::error_code& ec, tcp::socket accepted) {
        if (closing_ || !acceptor_.is_open() || ec == asio::error::operation_aborted) return;
        if (ec) {
          // Out of descriptors or the like: try again shortly rather than spin.
          // The client waits in the backlog meanwhile.
          retry_timer_.expires_after(kAcceptRetry);
          retry_timer_.async_wait([this](const asio::error_code& wait_ec) {
            if (!wait_ec && !closing_ && acceptor_.is_open()) AcceptNext();
          });
          return;
        }
        // `accepted` closes when it goes out of scope unless a loop took it.
        if (live_.load() >= cap_) {
          NoteRefused();
        } else {
          live_.fetch_add(1);
          try {
            asio::post(target.context, [this, &target, socket = std::move(accepted)]() mutable {
              Launch(target, std::move(socket));
            });
          } catch (const std::exception&) {
            live_.fetch_sub(1);  // out of memory: the connection is dropped
          }
        }
        AcceptNext();
      });
}

void PicServer::Launch(Loop& loop, tcp::socket accepted) {
  asio::error_code ec;
  accepted.non_blocking(true, ec);
  if (loop.closing || ec) {
    live_.fetch_sub(1);
    return;
  }
  const uint64_t id = loop.next_id++;
  std::shared_ptr<PicConnection> connection;
  try {
    connection = std::make_shared<PicConnection>(
        std::move(accepted), services_.archive, services_.metrics, limits_, [this, &loop, id] {
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
    connection->Begin();
  } catch (const std::exception&) {
    connection->Cut();  // its end counts it off
  }
}

void PicServer::NoteRefused() {
  const auto now = std::chrono::steady_clock::now();
  if (refusal_logged_ && now - *refusal_logged_ < kRefusalLogInterval) return;
  refusal_logged_ = now;
  try {
    services_.log.MainLog(fmt::format(
        "Сервер фотографий: {} соединений одновременно, новые соединения закрываются", cap_));
  } catch (const service::LogWriteError&) {
    // The log itself may be out of descriptors; the refusal stands.
  }
}

void PicServer::CloseLoop(Loop& loop) {
  loop.closing = true;
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
  Loop& first = *loops_.front();
  if (first.thread.joinable()) {
    // No connection is handed to a loop after this: every hand-over posted
    // before it reaches its loop ahead of that loop's close below.
    std::promise<void> closed;
    asio::post(first.context, [this, &closed] {
      closing_ = true;
      asio::error_code ignored;
      acceptor_.close(ignored);
      retry_timer_.cancel();
      closed.set_value();
    });
    closed.get_future().wait();
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
