#include "picserver/pic_server.h"

#include <algorithm>
#include <system_error>
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

}  // namespace

size_t PicConnectionCap(size_t requested, uint64_t open_file_limit) {
  const uint64_t affordable = open_file_limit / 2 / kDescriptorsPerPicConnection;
  return static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(requested, affordable)));
}

PicServer::PicServer(service::ServiceState& state, PicServerLimits limits)
    : state_(state), limits_(limits), acceptor_(context_), retry_timer_(context_) {}

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
    loop_thread_ = std::thread([this] {
      // Files go out by sendfile, which has no MSG_NOSIGNAL.
      platform::BlockBrokenPipeSignal();
      context_.run();
    });
  } catch (const std::system_error&) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    context_.run();  // lets the aborted accept finish
    port_ = 0;
    return false;
  }
  return true;
}

void PicServer::AcceptNext() {
  acceptor_.async_accept([this](const asio::error_code& ec, tcp::socket accepted) {
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
    Launch(std::move(accepted));
    AcceptNext();
  });
}

void PicServer::Launch(tcp::socket accepted) {
  // `accepted` closes when it goes out of scope unless a connection took it.
  if (live_.load() >= cap_) return NoteRefused();
  asio::error_code ec;
  accepted.non_blocking(true, ec);
  if (ec) return;
  const uint64_t id = next_id_++;
  live_.fetch_add(1);
  std::shared_ptr<PicConnection> connection;
  try {
    connection = std::make_shared<PicConnection>(std::move(accepted), state_, limits_, [this, id] {
      open_.erase(id);
      // Counted off once the connection's memory is freed too, that is after
      // the handler that ended it has returned.
      asio::post(context_, [this] { live_.fetch_sub(1); });
    });
  } catch (const std::exception&) {
    live_.fetch_sub(1);  // out of memory: the connection is dropped
    return;
  }
  try {
    open_[id] = connection;
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
    state_.log().MainLog(fmt::format(
        "Сервер фотографий: {} соединений одновременно, новые соединения закрываются", cap_));
  } catch (const service::LogWriteError&) {
    // The log itself may be out of descriptors; the refusal stands.
  }
}

void PicServer::CloseAll() {
  closing_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
  std::vector<std::shared_ptr<PicConnection>> open;
  for (auto& [id, weak] : open_) {
    if (auto connection = weak.lock()) open.push_back(std::move(connection));
  }
  for (auto& connection : open) connection->Cut();
}

void PicServer::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  if (!loop_thread_.joinable()) return;
  // The loop runs out of work, and returns, once the aborted handlers of the
  // cut connections have run and freed them.
  asio::post(context_, [this] { CloseAll(); });
  loop_thread_.join();
}

}  // namespace kestrin::picserver
