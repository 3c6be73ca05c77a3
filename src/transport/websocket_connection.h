#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/custom_connection.h"
#include "transport/websocket_frame.h"

namespace kestrin::transport {

class TWebSocketCustomConnection;

// Event types. Every event gets the connection as `aSender`.
//
// Texts handed to and taken from the owner are UTF-8; on the wire they are
// Windows-1251, one byte per character. `aData` of TWebSocketConnectionData is
// the raw payload (for text frames: Windows-1251 bytes; decode them with
// platform::Cp1251ToUtf8). It is the connection's own buffer and is refilled
// by the next frame, so a handler copies what it keeps.
using TWebSocketConnectionEvent = std::function<void(TWebSocketCustomConnection& aSender)>;
using TWebSocketConnectionClose =
    std::function<void(TWebSocketCustomConnection& aSender, int32_t aCloseCode,
                       const std::string& aCloseReason, bool aClosedByPeer)>;
using TWebSocketConnectionData =
    std::function<void(TWebSocketCustomConnection& aSender, bool aFinal, bool aRes1, bool aRes2,
                       bool aRes3, int32_t aCode, const std::string& aData)>;

// One WebSocket connection: receive loop, frame sending and the closing
// handshake. The client (websocket_client.h) adds the connect and the opening
// handshake.
//
// Events. OnOpen, OnRead and OnClose run on the main thread (the one
// running the platform::MainLoop) while the connection thread waits for them;
// a handler may therefore send on or close its own connection. An unassigned
// event costs nothing. Events of one connection never overlap and arrive in
// order; while a handler runs the connection reads nothing further.
//   OnOpen  - once, when the opening handshake has succeeded.
//   OnRead  - once per received data, ping or pong frame (not per message).
//             A ping has already been answered with a pong of the same payload.
//   OnClose - at most once, when an open connection ends, whichever side or
//             failure ended it; then no further event fires.
// An exception thrown by a handler ends the connection thread without OnClose.
//
// How an open connection ends, as OnClose reports it (code, reason, by peer):
//   the peer's Close frame with code c, reason r   c, r, true (no Close sent back)
//   the peer's Close frame without a code          1005, "", true
//   TCP closed or reset while waiting for a frame  1006, "", true
//   a header byte late by 10 s or a socket error   1002, "", false (Close 1002 sent)
//   a payload longer than 16 MiB announced         1009, "", false (Close 1009 sent)
//   a failure while reading a payload              0, "", false
//   an unknown opcode n                            1003, "Unknown data type: n", false
//   a continuation without a message in progress   1002, "Unknown continuaton", false
//   the owner's Close(c, r)                        c, r, false
//   a frame not taken by the peer within 5 s       1006, "", false (no Close sent)
// Waiting between frames has no time limit: a silent server is the owner's
// business.
//
// Threads. The sending operations and Close may be called from any thread, at
// any time (before Start, while connecting, after the end they do nothing).
// Whole frames never interleave on the wire: sending is serialised by a
// send lock (never taken twice by one thread). One send takes at most 5 seconds, the frame and the
// wait until the socket takes more data together; when the peer has not taken
// it by then, the connection ends (see the table above).
class TWebSocketCustomConnection : public TCustomConnection {
 public:
  ~TWebSocketCustomConnection() override;

  // Events; set them before Start().
  void SetOnOpen(TWebSocketConnectionEvent handler);
  void SetOnRead(TWebSocketConnectionData handler);
  void SetOnClose(TWebSocketConnectionClose handler);

  // True exactly while the connection is open: the handshake has succeeded,
  // neither side has started closing, no close has been reported, the thread
  // has not been asked to end and the socket is open.
  bool CanReceiveOrSend() const;
  bool Closed() const { return !CanReceiveOrSend(); }
  bool Closing() const { return fClosedByMe.load() || fClosedByPeer.load(); }
  bool Handshake() const { return fHandshake.load(); }

  // The handshake values. Protocol and Extension are what the server answered
  // ("-" for none) once the handshake has run.
  const std::string& Host() const { return fHost; }
  const std::string& Port() const { return fPort; }
  const std::string& ResourceName() const { return fResourceName; }
  const std::string& Origin() const { return fOrigin; }
  const std::string& Cookie() const { return fCookie; }
  int32_t Version() const { return fVersion; }
  std::string Protocol() const;
  std::string Extension() const;

  // Sends one frame with the payload `aData` (bytes) and returns 0 or the
  // socket's error. Sends nothing and returns 0 while the connection is not
  // open, except for a Close frame (aCode 8) before any Close from the peer.
  // Client frames are masked with a fresh key each.
  int32_t SendData(bool aFinal, bool aRes1, bool aRes2, bool aRes3, int32_t aCode,
                   std::string_view aData);

  // The owner's senders. Texts are UTF-8 and go out as Windows-1251; binary
  // payloads go out as given. The owner does not learn whether a frame left.
  void SendText(std::string_view aData, bool aFinal = true, bool aRes1 = false, bool aRes2 = false,
                bool aRes3 = false);
  void SendBinary(std::string_view aData, bool aFinal = true, bool aRes1 = false,
                  bool aRes2 = false, bool aRes3 = false);

  // Starts the closing handshake from this side: sends a Close frame with
  // `aCode` and the first 123 characters of `aCloseReason` (unless the peer
  // has closed already), reports OnClose with the code and the whole reason
  // before returning (when called on the main thread, the handler runs inside
  // this call), and ends the connection thread without waiting for the
  // server's answer. Does nothing before Start, after the end, or the second
  // time.
  virtual void Close(int32_t aCode, std::string_view aCloseReason);

  // Asks the thread to end. If the connection is still open, OnClose reports
  // the current close values first; afterwards no event fires.
  void TerminateThread() override;

  // Gives the connection up without telling the owner: no event fires from
  // now on, an open connection is closed with 1000 "bye", one still
  // connecting or in its handshake is ended, and the socket is shut down at
  // once so that the peer sees the end without waiting for the thread. Any
  // thread.
  void Abandon();

 protected:
  TWebSocketCustomConnection(platform::MainLoop& loop,
                             std::unique_ptr<TTCPCustomConnectionSocket> aSocket);

  // The receive loop: OnOpen, then frames until the connection is no longer
  // open.
  void ServeConnection() override;

  // Clears the events, lets a send in progress finish, closes the socket.
  void ThreadEnded() override;

  // Reads one frame into the outputs; 0 when a frame was read. Waits for the
  // start of a frame without limit (looking at the open state every second);
  // a connection the peer closed or reset comes back as a Close frame with
  // code 1006. Other failures while reading the header close the connection
  // with 1002 (1009 for a payload above 16 MiB) and return non-zero; a failure
  // while reading the payload only returns non-zero.
  virtual int32_t ReceiveFrame(bool& aFinal, bool& aRes1, bool& aRes2, bool& aRes3, int32_t& aCode,
                               std::string& aData);

  // Stores the close values and raises OnClose, unless a close has already
  // been reported.
  virtual void ReportClose(int32_t aCode, const std::string& aCloseReason, bool aClosedByPeer);

  // Answers a ping with a pong carrying the same bytes.
  virtual void HandlePing(std::string_view aData);

  // Handshake values (the client sets them before Start; fProtocol and
  // fExtension are rewritten by its handshake under fields_mutex_).
  std::string fCookie;
  int32_t fVersion = 0;
  std::string fProtocol = "-";
  std::string fResourceName;
  std::string fOrigin;
  std::string fExtension = "-";
  std::string fPort;
  std::string fHost;
  mutable std::mutex fields_mutex_;

  std::atomic<bool> fClosedByMe{false};
  std::atomic<bool> fClosedByPeer{false};
  bool fMasking = false;
  std::atomic<bool> fHandshake{false};

  // The send lock: whole frames, from any thread.
  std::mutex fSendCriticalSection;

 private:
  enum class MessageType { kNone, kText, kBinary };

  // Failure while reading a frame header; see ReceiveFrame.
  int32_t HeaderFailure(int error, bool& aFinal, bool& aRes1, bool& aRes2, bool& aRes3,
                        int32_t& aCode, std::string& aData);
  // Ends the connection from this side because of what the peer sent.
  void CloseForProtocol(int32_t code, std::string_view reason);
  void Dispatch(MessageType& in_progress);
  void PeerClosed();
  // Waits until the socket takes more data; false when `deadline` came first.
  bool WaitWritable(std::chrono::steady_clock::time_point deadline);
  // Ends the connection after a send that ran out of its budget; OnClose
  // reports it when `report` and the connection had opened.
  void DropStalled(bool report);
  void ClearEvents();

  void RaiseOpen();
  void RaiseRead();
  void RaiseClose();

  mutable std::mutex events_mutex_;
  TWebSocketConnectionData fOnRead;
  TWebSocketConnectionClose fOnClose;
  TWebSocketConnectionEvent fOnOpen;

  // Close values reported by OnClose; written once, by whoever reports.
  std::atomic<bool> close_reported_{false};
  std::mutex close_mutex_;
  int32_t fCloseCode = 0;
  std::string fCloseReason;
  bool fClosingByPeer = false;

  // The last received frame; connection thread only (and the main thread
  // while the connection thread waits for OnRead).
  bool fReadFinal = false;
  bool fReadRes1 = false;
  bool fReadRes2 = false;
  bool fReadRes3 = false;
  int32_t fReadCode = 0;
  std::string fReadStream;
};

}  // namespace kestrin::transport
