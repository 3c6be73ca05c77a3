#include "transport/websocket_client.h"

#include <algorithm>

#include "platform/codepage.h"

namespace kestrin::transport {

std::shared_ptr<TWebSocketClientConnection> TWebSocketClientConnection::Create(
    platform::MainLoop& loop, std::string aHost, std::string aPort, std::string aResourceName,
    std::string aOrigin, std::string aProtocol, std::string aExtension, std::string aCookie,
    int32_t aVersion) {
  return std::shared_ptr<TWebSocketClientConnection>(new TWebSocketClientConnection(
      loop, std::move(aHost), std::move(aPort), std::move(aResourceName), std::move(aOrigin),
      std::move(aProtocol), std::move(aExtension), std::move(aCookie), aVersion));
}

TWebSocketClientConnection::TWebSocketClientConnection(platform::MainLoop& loop, std::string aHost,
                                                       std::string aPort, std::string aResourceName,
                                                       std::string aOrigin, std::string aProtocol,
                                                       std::string aExtension, std::string aCookie,
                                                       int32_t aVersion)
    : TWebSocketCustomConnection(loop, std::make_unique<TTCPCustomConnectionSocket>()) {
  fOrigin = std::move(aOrigin);
  fHost = std::move(aHost);
  fPort = std::move(aPort);
  fResourceName = std::move(aResourceName);
  fProtocol = std::move(aProtocol);
  fVersion = aVersion;
  fMasking = true;
  fCookie = std::move(aCookie);
  fExtension = std::move(aExtension);
}

void TWebSocketClientConnection::Execute() {
  if (IsTerminated() || fVersion < 8) return;
  if (Socket().Connect(fHost, fPort) != 0) {
    TerminateThread();  // never opened: no event
    return;
  }
  TWebSocketCustomConnection::Execute();
}

bool TWebSocketClientConnection::PrepareConnection() {
  if (IsTerminated()) return false;
  const std::string key = MakeHandshakeKey();
  HandshakeRequest request;
  {
    std::lock_guard lock(fields_mutex_);
    request = HandshakeRequest{fHost,     fPort,      fResourceName, fOrigin,
                               fProtocol, fExtension, fCookie,       fVersion};
  }
  int error;
  {
    std::lock_guard lock(fSendCriticalSection);
    error = Socket().SendAll(platform::Utf8ToCp1251(BuildHandshakeRequest(request, key)));
  }
  if (IsTerminated() || error != 0) return false;

  ResponseHead head;
  const bool head_read = ReadResponseHead(head);
  if (!head_read) return false;
  HandshakeVerdict verdict = CheckHandshakeResponse(head, key);
  {
    std::lock_guard lock(fields_mutex_);
    fProtocol = verdict.protocol;
    fExtension = verdict.extension;
  }
  if (!verdict.accepted) return false;
  fHandshake.store(true);
  return true;
}

bool TWebSocketClientConnection::ReadResponseHead(ResponseHead& head) {
  TcpSocket& socket = Socket();
  bool ok = true;
  std::string line;
  for (;;) {
    // A line limit of 0 would mean none: at least 1, refused below.
    socket.SetLineLimit(std::max<size_t>(1, std::min(kHandshakeLineLimit, ResponseHeadRoom(head))));
    if (socket.ReceiveLine(kHandshakeReadMs, line) != 0) {
      ok = false;
      break;
    }
    if (line.empty()) break;
    // A head beyond its limits fails like any other bad answer.
    if (!AddResponseLine(head, platform::Cp1251ToUtf8(line))) {
      ok = false;
      break;
    }
  }
  socket.SetLineLimit(0);
  return ok;
}

ConnectionHandle::ConnectionHandle(const std::shared_ptr<TWebSocketCustomConnection>& connection)
    : connection_(connection), end_(connection ? connection->EndSignal() : nullptr) {}

bool ConnectionHandle::Is(const TWebSocketCustomConnection& sender) const {
  std::shared_ptr<TWebSocketCustomConnection> c = connection_.lock();
  return c.get() == &sender;
}

void ConnectionHandle::SendText(std::string_view text) const {
  if (std::shared_ptr<TWebSocketCustomConnection> c = connection_.lock()) c->SendText(text);
}

void ConnectionHandle::Close(int32_t code, std::string_view reason) const {
  if (std::shared_ptr<TWebSocketCustomConnection> c = connection_.lock()) c->Close(code, reason);
}

void ConnectionHandle::Abandon() const {
  if (std::shared_ptr<TWebSocketCustomConnection> c = connection_.lock()) c->Abandon();
}

bool ConnectionHandle::WaitEnded(std::chrono::milliseconds timeout) const {
  return end_ != nullptr && end_->Wait(timeout);
}

void ConnectionHandle::Reset() {
  connection_.reset();
  end_.reset();
}

}  // namespace kestrin::transport
