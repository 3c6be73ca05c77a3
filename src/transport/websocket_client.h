#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/websocket_connection.h"
#include "transport/websocket_handshake.h"

namespace kestrin::transport {

// The client side of a WebSocket connection: connects, runs the opening
// handshake, then the receive loop of TWebSocketCustomConnection.
//
// Typical use, on the main thread:
//
//   auto connection = TWebSocketClientConnection::Create(
//       loop, server_ip, "7712", "/", "-", "-", "-", "-", 13);
//   connection->SetOnRead(...);
//   connection->SetOnClose(...);
//   connection->SetOnOpen(...);
//   connection->Start();
//   ws_client = ConnectionHandle(connection);  // keep only the handle
//   ...
//   ws_client.SendText("{\"command\":\"getdb\"}");
//   ws_client.Close(1000, "bye");
//
// "-" marks an absent origin, protocol, extension or cookie. A connection
// serves one attempt; to connect again, create a new one. When the connect or
// the handshake fails, or Execute ends before the connection opened, the
// thread ends without any event: the owner notices the missing OnOpen.
class TWebSocketClientConnection : public TWebSocketCustomConnection {
 public:
  static std::shared_ptr<TWebSocketClientConnection> Create(
      platform::MainLoop& loop, std::string aHost, std::string aPort, std::string aResourceName,
      std::string aOrigin, std::string aProtocol, std::string aExtension, std::string aCookie,
      int32_t aVersion);

 protected:
  TWebSocketClientConnection(platform::MainLoop& loop, std::string aHost, std::string aPort,
                             std::string aResourceName, std::string aOrigin, std::string aProtocol,
                             std::string aExtension, std::string aCookie, int32_t aVersion);

  // Connects (unless the version is below 8 or the thread was asked to end),
  // then runs the handshake and the receive loop.
  void Execute() override;

  // The opening handshake; true when the server accepted it.
  bool PrepareConnection() override;

 private:
  // Reads the response head; false on a time-out, a reset or an overlong line.
  bool ReadResponseHead(ResponseHead& head);
};

// The owner's reference to a connection. Copyable and cheap. Every call is
// safe at any time: before Start, while the connection runs, and after its
// thread has ended and freed the object, when the calls do nothing. The handle
// does not keep the connection alive, except for the duration of one call.
class ConnectionHandle {
 public:
  ConnectionHandle() = default;
  explicit ConnectionHandle(const std::shared_ptr<TWebSocketCustomConnection>& connection);

  // The connection while its object exists, else empty.
  std::shared_ptr<TWebSocketCustomConnection> Get() const { return connection_.lock(); }

  // The object still exists (its thread has not ended, or has not started).
  bool Alive() const { return !connection_.expired(); }

  // True when `sender` is the connection this handle refers to.
  bool Is(const TWebSocketCustomConnection& sender) const;

  // One final text frame (UTF-8, sent as Windows-1251), if the connection is open.
  void SendText(std::string_view text) const;

  // The closing handshake (TWebSocketCustomConnection::Close).
  void Close(int32_t code, std::string_view reason) const;

  // Gives the connection up without any further event
  // (TWebSocketCustomConnection::Abandon).
  void Abandon() const;

  // Waits until the connection's thread has ended; true when it has. Do not
  // call it on the main thread while the main loop runs and the connection may
  // still raise an event: the two would wait for each other.
  bool WaitEnded(std::chrono::milliseconds timeout) const;

  void Reset();

 private:
  std::weak_ptr<TWebSocketCustomConnection> connection_;
  std::shared_ptr<const ThreadEndSignal> end_;
};

}  // namespace kestrin::transport
