#include "picserver/pic_connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <utility>

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

// The most one sendfile call is asked for; the socket takes what fits.
constexpr size_t kMaxSendPiece = size_t{1} << 30;

}  // namespace

PicConnection::PicConnection(tcp::socket socket, service::ServiceState& state,
                             const PicServerLimits& limits, std::function<void()> on_end)
    : socket_(std::move(socket)),
      state_(state),
      limits_(limits),
      on_end_(std::move(on_end)),
      timer_(socket_.get_executor()) {}

PicConnection::~PicConnection() {
  Cut();
  file_ = platform::ArchiveFile();
  if (on_end_) on_end_();
}

void PicConnection::Begin() {
  receive_deadline_ = std::chrono::steady_clock::now() + limits_.receive;
  ReadMore();
}

void PicConnection::Cut() {
  // Closing aborts the pending wait; a client with unread data gets a reset
  // as it would after a shutdown too.
  asio::error_code ignored;
  if (timer_armed_) timer_.cancel();
  socket_.close(ignored);
}

void PicConnection::ArmTimer(std::chrono::steady_clock::time_point deadline) {
  timer_armed_ = true;
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    // A wait that ended just as the timer was set anew is no expiry.
    if (!ec && self->timer_.expiry() <= std::chrono::steady_clock::now()) self->Cut();
  });
}

void PicConnection::ReadMore() {
  while (true) {
    const size_t had = line_size_;
    asio::error_code ec;
    const size_t n = socket_.read_some(asio::buffer(line_.data() + had, line_.size() - had), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return AwaitReadable();
    if (ec) return Cut();
    line_size_ += n;
    const std::string_view line(line_.data(), line_size_);
    const size_t end = line.find('\n', had);
    if (end == std::string_view::npos) {
      if (line_size_ > kMaxRequestLine) return Cut();
      continue;
    }
    if (end > kMaxRequestLine) return Cut();
    line_size_ = end;
    if (line_size_ > 0 && line_[line_size_ - 1] == '\r') --line_size_;
    return Respond();
  }
}

void PicConnection::AwaitReadable() {
  if (!timer_armed_) ArmTimer(receive_deadline_);
  socket_.async_wait(tcp::socket::wait_read,
                     [self = shared_from_this()](const asio::error_code& ec) {
                       if (ec) return self->Cut();
                       self->ReadMore();
                     });
}

void PicConnection::Respond() {
  const std::string_view line(line_.data(), line_size_);
  // One reading of the archive folder for every path of this request.
  PicAnswer answer = AnswerRequest(line, state_.archive_path.Get(), state_.name_format.load());
  state_.metrics().PictureRequest(RequestKind(line), ReplyKind(answer));
  switch (answer.kind) {
    case PicAnswer::Kind::kClose:
      return Cut();
    case PicAnswer::Kind::kLine:
      head_ = answer.line + "\r\n";
      break;
    case PicAnswer::Kind::kFile:
      file_ = OpenFetchFile(answer);
      head_ = std::to_string(file_.size()) + "\r\n";
      end_ = std::max<int64_t>(file_.size(), 0);
      break;
  }
  Pump();
}

void PicConnection::Pump() {
  while (head_sent_ < head_.size()) {
    // The size line leaves together with the first piece of the file.
    const int flags = offset_ < end_ ? MSG_MORE : 0;
    asio::error_code ec;
    const size_t n =
        socket_.send(asio::buffer(head_.data() + head_sent_, head_.size() - head_sent_), flags, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return AwaitWritable();
    if (ec) return Cut();
    head_sent_ += n;
  }
  while (offset_ < end_) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(end_ - offset_, kMaxSendPiece));
    const int64_t n = file_.SendTo(socket_.native_handle(), &offset_, want);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return AwaitWritable();
    // A file cut short while it is sent ends the reply early; the client
    // sees fewer bytes than announced. Or the client has gone.
    return Cut();
  }
  Cut();
}

void PicConnection::AwaitWritable() {
  ArmTimer(std::chrono::steady_clock::now() + limits_.send);
  socket_.async_wait(tcp::socket::wait_write,
                     [self = shared_from_this()](const asio::error_code& ec) {
                       if (ec) return self->Cut();
                       self->Pump();
                     });
}

}  // namespace kestrin::picserver
