#include "picserver/pic_exchange.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "platform/stream_socket.h"

namespace kestrin::picserver {
namespace {

using platform::SocketResult;

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

PicExchange::Next PicExchange::Advance(int fd) {
  if (!answered_) {
    const Next next = Read(fd);
    if (next != Next::kWritable) return next;
  }
  return Send(fd);
}

PicExchange::Next PicExchange::Read(int fd) {
  while (true) {
    const size_t had = line_size_;
    size_t n = 0;
    switch (platform::ReceiveSome(fd, line_.data() + had, line_.size() - had, &n)) {
      case SocketResult::kDone:
        break;
      case SocketResult::kWouldBlock:
        return Next::kReadable;
      case SocketResult::kClosed:
      case SocketResult::kFailed:
        return Next::kClose;
    }
    line_size_ += n;
    const std::string_view line(line_.data(), line_size_);
    const size_t end = line.find('\n', had);
    if (end == std::string_view::npos) {
      if (line_size_ > kMaxRequestLine) return Next::kClose;
      continue;
    }
    if (end > kMaxRequestLine) return Next::kClose;
    line_size_ = end;
    if (line_size_ > 0 && line_[line_size_ - 1] == '\r') --line_size_;
    return Answer() ? Next::kWritable : Next::kClose;
  }
}

bool PicExchange::Answer() {
  answered_ = true;
  const std::string_view line(line_.data(), line_size_);
  // One reading of the archive folder for every path of this request.
  PicAnswer answer = AnswerRequest(line, archive_->Path(), archive_->NameFormat());
  metrics_->PictureRequest(RequestKind(line), ReplyKind(answer));
  switch (answer.kind) {
    case PicAnswer::Kind::kClose:
      return false;
    case PicAnswer::Kind::kLine:
      head_ = answer.line + "\r\n";
      break;
    case PicAnswer::Kind::kFile:
      file_ = OpenFetchFile(answer);
      head_ = std::to_string(file_.size()) + "\r\n";
      end_ = std::max<int64_t>(file_.size(), 0);
      break;
  }
  return true;
}

PicExchange::Next PicExchange::Send(int fd) {
  while (head_sent_ < head_.size()) {
    // The size line leaves together with the first piece of the file.
    size_t n = 0;
    switch (platform::SendSome(fd, head_.data() + head_sent_, head_.size() - head_sent_,
                               offset_ < end_, &n)) {
      case SocketResult::kDone:
        break;
      case SocketResult::kWouldBlock:
        return Next::kWritable;
      case SocketResult::kClosed:
      case SocketResult::kFailed:
        return Next::kClose;
    }
    head_sent_ += n;
  }
  while (offset_ < end_) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(end_ - offset_, kMaxSendPiece));
    const int64_t n = file_.SendTo(fd, &offset_, want);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Next::kWritable;
    // A file cut short while it is sent ends the reply early; the client
    // sees fewer bytes than announced. Or the client has gone.
    return Next::kClose;
  }
  return Next::kClose;
}

}  // namespace kestrin::picserver
