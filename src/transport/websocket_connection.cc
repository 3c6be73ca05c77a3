#include "transport/websocket_connection.h"

#include <fmt/format.h>

#include <chrono>
#include <climits>
#include <exception>
#include <thread>

#include "platform/codepage.h"

namespace kestrin::transport {
namespace {

using std::chrono::milliseconds;

// Waiting for the first byte of a frame, in steps that look at the open state.
constexpr int kFrameWaitMs = 1000;
// Every further header byte.
constexpr int kHeaderByteMs = 10000;
// Each wait for more payload.
constexpr int kPayloadWaitMs = 7200000;
// One send, the frame and the wait until the socket takes more data, gets this
// long in all; a peer that does not read for so long is dropped.
constexpr milliseconds kSendBudget{5000};
constexpr int kWritableStepMs = 10;
// The loop's sleep while it waits for the end of the thread.
constexpr milliseconds kEndWaitStep{500};

// Non-zero results of ReceiveFrame that are not socket errors.
constexpr int kNoLongerOpen = -1;
constexpr int kPayloadTooBig = -3;

// A buffer that held a large frame is given back rather than kept for the
// life of the connection.
constexpr size_t kKeptBufferCapacity = 1 << 20;

}  // namespace

TWebSocketCustomConnection::TWebSocketCustomConnection(
    platform::MainLoop& loop, std::unique_ptr<TTCPCustomConnectionSocket> aSocket)
    : TCustomConnection(loop, std::move(aSocket)) {}

TWebSocketCustomConnection::~TWebSocketCustomConnection() = default;

void TWebSocketCustomConnection::SetOnOpen(TWebSocketConnectionEvent handler) {
  std::lock_guard lock(events_mutex_);
  fOnOpen = std::move(handler);
}

void TWebSocketCustomConnection::SetOnRead(TWebSocketConnectionData handler) {
  std::lock_guard lock(events_mutex_);
  fOnRead = std::move(handler);
}

void TWebSocketCustomConnection::SetOnClose(TWebSocketConnectionClose handler) {
  std::lock_guard lock(events_mutex_);
  fOnClose = std::move(handler);
}

void TWebSocketCustomConnection::ClearEvents() {
  std::lock_guard lock(events_mutex_);
  fOnRead = nullptr;
  fOnClose = nullptr;
  fOnOpen = nullptr;
}

bool TWebSocketCustomConnection::CanReceiveOrSend() const {
  // Once OnClose has been reported the connection is over, also while the
  // thread is still on its way out.
  return !IsTerminated() && Socket().IsOpen() && !fClosedByMe.load() && !fClosedByPeer.load() &&
         fHandshake.load() && !close_reported_.load();
}

std::string TWebSocketCustomConnection::Protocol() const {
  std::lock_guard lock(fields_mutex_);
  return fProtocol;
}

std::string TWebSocketCustomConnection::Extension() const {
  std::lock_guard lock(fields_mutex_);
  return fExtension;
}

// ---------------------------------------------------------------------------
// Events

void TWebSocketCustomConnection::RaiseOpen() {
  {
    std::lock_guard lock(events_mutex_);
    if (!fOnOpen) return;
  }
  CallSynchronized([this] {
    TWebSocketConnectionEvent handler;
    {
      std::lock_guard lock(events_mutex_);
      handler = fOnOpen;
    }
    if (handler) handler(*this);
  });
}

void TWebSocketCustomConnection::RaiseRead() {
  {
    std::lock_guard lock(events_mutex_);
    if (!fOnRead) return;
  }
  CallSynchronized([this] {
    TWebSocketConnectionData handler;
    {
      std::lock_guard lock(events_mutex_);
      handler = fOnRead;
    }
    if (handler) {
      handler(*this, fReadFinal, fReadRes1, fReadRes2, fReadRes3, fReadCode, fReadStream);
    }
  });
}

void TWebSocketCustomConnection::RaiseClose() {
  {
    std::lock_guard lock(events_mutex_);
    if (!fOnClose) return;
  }
  CallSynchronized([this] {
    TWebSocketConnectionClose handler;
    {
      std::lock_guard lock(events_mutex_);
      handler = fOnClose;
    }
    if (!handler) return;
    int32_t code;
    std::string reason;
    bool by_peer;
    {
      std::lock_guard lock(close_mutex_);
      code = fCloseCode;
      reason = fCloseReason;
      by_peer = fClosingByPeer;
    }
    handler(*this, code, reason, by_peer);
  });
}

void TWebSocketCustomConnection::ReportClose(int32_t aCode, const std::string& aCloseReason,
                                             bool aClosedByPeer) {
  if (close_reported_.exchange(true)) return;
  {
    std::lock_guard lock(close_mutex_);
    fCloseCode = aCode;
    fCloseReason = aCloseReason;
    fClosingByPeer = aClosedByPeer;
  }
  RaiseClose();
}

void TWebSocketCustomConnection::TerminateThread() {
  if (Terminated()) return;
  std::exception_ptr failure;
  if (CanReceiveOrSend() && !close_reported_.exchange(true)) {
    try {
      RaiseClose();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  ClearEvents();
  TCustomConnection::TerminateThread();
  if (failure) std::rethrow_exception(failure);
}

void TWebSocketCustomConnection::Abandon() {
  ClearEvents();
  if (CanReceiveOrSend()) {
    Close(1000, "bye");
  } else {
    TerminateThread();
  }
  Socket().Shutdown();
}

// ---------------------------------------------------------------------------
// Receiving

void TWebSocketCustomConnection::ServeConnection() {
  RaiseOpen();
  MessageType in_progress = MessageType::kNone;
  while (CanReceiveOrSend()) {
    int32_t result =
        ReceiveFrame(fReadFinal, fReadRes1, fReadRes2, fReadRes3, fReadCode, fReadStream);
    if (!CanReceiveOrSend()) continue;  // read while closing: dropped
    if (result != 0) {
      TerminateThread();
      continue;
    }
    Dispatch(in_progress);
  }
  while (!Terminated()) WaitTerminated(kEndWaitStep);
}

void TWebSocketCustomConnection::Dispatch(MessageType& in_progress) {
  switch (fReadCode) {
    case kOpText:
    case kOpBinary:
      RaiseRead();
      // A new data frame starts a new message, whatever was in progress.
      in_progress = fReadFinal             ? MessageType::kNone
                    : fReadCode == kOpText ? MessageType::kText
                                           : MessageType::kBinary;
      break;
    case kOpContinuation:
      if (in_progress == MessageType::kNone) {
        CloseForProtocol(kCloseProtocolError, "Unknown continuaton");
      } else {
        RaiseRead();
      }
      if (fReadFinal) in_progress = MessageType::kNone;
      break;
    case kOpClose:
      PeerClosed();
      break;
    case kOpPing:
      HandlePing(fReadStream);
      RaiseRead();
      break;
    case kOpPong:
      RaiseRead();
      break;
    default:
      CloseForProtocol(kCloseUnsupportedData, fmt::format("Unknown data type: {}", fReadCode));
      break;
  }
}

void TWebSocketCustomConnection::CloseForProtocol(int32_t code, std::string_view reason) {
  Close(code, reason);
}

void TWebSocketCustomConnection::PeerClosed() {
  ClosePayload close = DecodeClosePayload(fReadStream);
  fClosedByPeer.store(true);
  ReportClose(close.code, platform::Cp1251ToUtf8(close.reason), true);
  TerminateThread();
}

void TWebSocketCustomConnection::HandlePing(std::string_view aData) {
  SendData(true, false, false, false, kOpPong, aData);
}

int32_t TWebSocketCustomConnection::ReceiveFrame(bool& aFinal, bool& aRes1, bool& aRes2,
                                                 bool& aRes3, int32_t& aCode, std::string& aData) {
  TcpSocket& socket = Socket();

  bool readable = false;
  int error = 0;
  while (CanReceiveOrSend()) {
    readable = socket.WaitReadable(kFrameWaitMs);
    error = socket.LastError();
    if (readable || (error != 0 && error != kSocketTimedOut)) break;
  }
  if (!readable) {
    return HeaderFailure(error != 0 && error != kSocketTimedOut ? error : kNoLongerOpen, aFinal,
                         aRes1, aRes2, aRes3, aCode, aData);
  }

  uint8_t byte = 0;
  if ((error = socket.ReceiveByte(kFrameWaitMs, byte)) != 0) {
    return HeaderFailure(error, aFinal, aRes1, aRes2, aRes3, aCode, aData);
  }
  aFinal = (byte & 0x80) != 0;
  aRes1 = (byte & 0x40) != 0;
  aRes2 = (byte & 0x20) != 0;
  aRes3 = (byte & 0x10) != 0;
  aCode = byte & 0x0F;

  if ((error = socket.ReceiveByte(kHeaderByteMs, byte)) != 0) {
    return HeaderFailure(error, aFinal, aRes1, aRes2, aRes3, aCode, aData);
  }
  const bool masked = (byte & 0x80) != 0;
  uint64_t length = byte & 0x7F;
  if (length >= 126) {
    const int count = length == 126 ? 2 : 8;
    length = 0;
    for (int i = 0; i < count; ++i) {
      if ((error = socket.ReceiveByte(kHeaderByteMs, byte)) != 0) {
        return HeaderFailure(error, aFinal, aRes1, aRes2, aRes3, aCode, aData);
      }
      length = (length << 8) | byte;
    }
  }
  if (length > kMaxReceivedPayload) {
    // Refused before anything is allocated for it.
    if (!Terminated() && !fClosedByMe.load()) CloseForProtocol(kCloseTooBig, "");
    return kPayloadTooBig;
  }
  MaskingKey key{};
  if (masked) {
    for (uint8_t& k : key) {
      if ((error = socket.ReceiveByte(kHeaderByteMs, k)) != 0) {
        return HeaderFailure(error, aFinal, aRes1, aRes2, aRes3, aCode, aData);
      }
    }
  }

  if (aData.capacity() > kKeptBufferCapacity) {
    std::string().swap(aData);
  } else {
    aData.clear();
  }
  error = socket.ReceiveExact(static_cast<size_t>(length), kPayloadWaitMs, aData);
  if (error != 0) return error;
  if (masked) ApplyMask(aData, key);
  return 0;
}

int32_t TWebSocketCustomConnection::HeaderFailure(int error, bool& aFinal, bool& aRes1, bool& aRes2,
                                                  bool& aRes3, int32_t& aCode, std::string& aData) {
  if (Terminated()) return error;
  if (error == kSocketConnectionReset) {
    // The peer went away without a Close frame: handled as its Close 1006.
    aFinal = true;
    aRes1 = aRes2 = aRes3 = false;
    aCode = kOpClose;
    aData = EncodeClosePayload(kCloseAbnormal, "");
    return 0;
  }
  if (!fClosedByMe.load()) {
    CloseForProtocol(kCloseProtocolError, "");
    TerminateThread();
  }
  return error;
}

// ---------------------------------------------------------------------------
// Sending

int32_t TWebSocketCustomConnection::SendData(bool aFinal, bool aRes1, bool aRes2, bool aRes3,
                                             int32_t aCode, std::string_view aData) {
  if (!CanReceiveOrSend() && !(aCode == kOpClose && !fClosedByPeer.load())) return 0;
  if (aData.size() > static_cast<size_t>(INT32_MAX)) return kSocketNoBufferSpace;

  bool stalled = false;
  int32_t error;
  {
    std::lock_guard lock(fSendCriticalSection);
    const auto deadline = std::chrono::steady_clock::now() + kSendBudget;
    MaskingKey key;
    if (fMasking) key = NewMaskingKey();
    error = Socket().SendAll(
        EncodeFrame(aFinal, aRes1, aRes2, aRes3, aCode, fMasking ? &key : nullptr, aData),
        deadline);
    stalled = error == kSocketTimedOut;
    if (aCode != kOpClose && error == 0 && !WaitWritable(deadline)) stalled = true;
  }
  if (stalled) {
    DropStalled(aCode != kOpClose);
    return error != 0 ? error : kSocketTimedOut;
  }
  return error;
}

bool TWebSocketCustomConnection::WaitWritable(std::chrono::steady_clock::time_point deadline) {
  TcpSocket& socket = Socket();
  while (socket.IsOpen() && !socket.CanWrite(kWritableStepMs)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(kWritableStepMs));
  }
  return true;
}

void TWebSocketCustomConnection::DropStalled(bool report) {
  // The peer has not taken a frame within the budget: the connection is given
  // up at once; the owner connects anew. The close is reported before the
  // socket goes, so that the reader, woken by the shutdown, finds it reported.
  std::exception_ptr failure;
  if (report && fHandshake.load()) {
    try {
      ReportClose(kCloseAbnormal, "", false);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  Socket().Shutdown();
  TerminateThread();
  if (failure) std::rethrow_exception(failure);
}

void TWebSocketCustomConnection::SendText(std::string_view aData, bool aFinal, bool aRes1,
                                          bool aRes2, bool aRes3) {
  SendData(aFinal, aRes1, aRes2, aRes3, kOpText, platform::Utf8ToCp1251(aData));
}

void TWebSocketCustomConnection::SendBinary(std::string_view aData, bool aFinal, bool aRes1,
                                            bool aRes2, bool aRes3) {
  SendData(aFinal, aRes1, aRes2, aRes3, kOpBinary, aData);
}

void TWebSocketCustomConnection::Close(int32_t aCode, std::string_view aCloseReason) {
  if (IsTerminated() || !Socket().IsOpen() || fClosedByMe.load() || close_reported_.load()) return;
  if (fClosedByMe.exchange(true)) return;
  // From here on the connection is no longer open; the thread is asked to end
  // whatever the handlers do.
  try {
    if (!fClosedByPeer.load()) {
      SendData(true, false, false, false, kOpClose,
               EncodeClosePayload(aCode, platform::Utf8ToCp1251(aCloseReason)));
      ReportClose(aCode, std::string(aCloseReason), false);
    }
  } catch (...) {
    TerminateThread();
    throw;
  }
  TerminateThread();
}

void TWebSocketCustomConnection::ThreadEnded() {
  ClearEvents();
  SetTerminated();
  // A send that started before the end is completed before the socket goes.
  std::lock_guard lock(fSendCriticalSection);
  TCustomConnection::ThreadEnded();
}

}  // namespace kestrin::transport
