#include "picserver/pic_connection.h"

#include <exception>
#include <utility>

namespace kestrin::picserver {

PicConnection::PicConnection(tcp::socket socket, PicExchange exchange,
                             std::chrono::steady_clock::time_point receive_deadline,
                             const PicServerLimits& limits, std::function<void()> on_end)
    : socket_(std::move(socket)),
      exchange_(std::move(exchange)),
      receive_deadline_(receive_deadline),
      limits_(limits),
      on_end_(std::move(on_end)),
      timer_(socket_.get_executor()) {}

PicConnection::~PicConnection() {
  Cut();
  exchange_.CloseFile();
  if (on_end_) on_end_();
}

void PicConnection::Begin(PicExchange::Next next) {
  Await(next);
}

void PicConnection::Cut() {
  // Closing aborts the pending wait. A client with unread data gets a reset,
  // as it would after a shutdown too.
  asio::error_code ignored;
  if (timer_armed_) timer_.cancel();
  socket_.close(ignored);
}

void PicConnection::Await(PicExchange::Next next) {
  tcp::socket::wait_type wait = tcp::socket::wait_read;
  switch (next) {
    case PicExchange::Next::kClose:
      return Cut();
    case PicExchange::Next::kReadable:
      // The request line is due by its deadline however many pieces it
      // comes in.
      if (!timer_armed_) ArmTimer(receive_deadline_);
      break;
    case PicExchange::Next::kWritable:
      // Each piece of the reply has the whole limit to leave.
      ArmTimer(std::chrono::steady_clock::now() + limits_.send);
      wait = tcp::socket::wait_write;
      break;
  }
  socket_.async_wait(wait, [self = shared_from_this()](const asio::error_code& ec) {
    if (ec || !self->socket_.is_open()) return self->Cut();
    PicExchange::Next next = PicExchange::Next::kClose;
    try {
      next = self->exchange_.Advance(self->socket_.native_handle());
    } catch (const std::exception&) {
      // Out of memory: the connection is dropped.
    }
    self->Await(next);
  });
}

void PicConnection::ArmTimer(std::chrono::steady_clock::time_point deadline) {
  timer_armed_ = true;
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    // A wait that ended just as the timer was set anew is no expiry.
    if (!ec && self->timer_.expiry() <= std::chrono::steady_clock::now()) self->Cut();
  });
}

}  // namespace kestrin::picserver
