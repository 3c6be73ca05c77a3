#include "picserver/pic_connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <utility>

#include "picserver/pic_request.h"

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

PicConnection::PicConnection(tcp::socket socket, const service::ArchiveSettings& archive,
                             service::Metrics& metrics, const PicServerLimits& limits,
                             std::function<void()> on_end)
    : socket_(std::move(socket)),
      archive_(archive),
      metrics_(metrics),
      limits_(limits),
      on_end_(std::move(on_end)),
      timer_(socket_.get_executor()) {}

PicConnection::~PicConnection() {
  Cut();
  file_ = platform::ArchiveFile();
  if (on_end_) on_end_();
}

void PicConnection::Begin() {
  ArmTimer(limits_.receive);
  ReadMore();
}

void PicConnection::Cut() {
  asio::error_code ignored;
  timer_.cancel();
  if (!socket_.is_open()) return;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

void PicConnection::ArmTimer(std::chrono::steady_clock::duration limit) {
  timer_.expires_after(limit);
  timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    // A wait that ended just as the timer was set anew is no expiry.
    if (!ec && self->timer_.expiry() <= std::chrono::steady_clock::now()) self->Cut();
  });
}

void PicConnection::ReadMore() {
  // Never more than one byte past the longest line, so the buffer stays small.
  const size_t had = line_.size();
  line_.resize(kMaxRequestLine + 2);
  socket_.async_read_some(asio::buffer(line_.data() + had, line_.size() - had),
                          [self = shared_from_this(), had](const asio::error_code& ec, size_t n) {
                            std::string& line = self->line_;
                            line.resize(had + (ec ? 0 : n));
                            if (ec) return self->Cut();
                            const size_t end = line.find('\n', had);
                            if (end == std::string::npos) {
                              if (line.size() > kMaxRequestLine) return self->Cut();
                              return self->ReadMore();
                            }
                            if (end > kMaxRequestLine) return self->Cut();
                            line.resize(end);
                            if (!line.empty() && line.back() == '\r') line.pop_back();
                            self->Respond();
                          });
}

void PicConnection::Respond() {
  // One reading of the archive folder for every path of this request.
  PicAnswer answer = AnswerRequest(line_, archive_.Path(), archive_.NameFormat());
  metrics_.PictureRequest(RequestKind(line_), ReplyKind(answer));
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
  ArmTimer(limits_.send);
  socket_.async_wait(tcp::socket::wait_write,
                     [self = shared_from_this()](const asio::error_code& ec) {
                       if (ec) return self->Cut();
                       self->Pump();
                     });
}

}  // namespace kestrin::picserver
