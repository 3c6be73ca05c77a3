#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/event_queue.h"
#include "link/camera_addresses.h"
#include "link/database.h"
#include "link/database_worker.h"
#include "platform/main_loop.h"
#include "service/service_state.h"
#include "transport/websocket_client.h"

namespace kestrin::link {

// The link to the access-control server: the Watchdog timer that opens,
// supervises and closes the session, and the session handlers that log in,
// learn the database location and queue the server's events.
//
// The timer ticks and the handlers all run on the main thread, one at a time,
// so the session state they share (ws_client, the connection host) needs no
// lock; what other threads see of the session goes through service::Session.
//
// There is one connection at a time: a new attempt first abandons the one
// before it, whatever state that one is in, and the handlers ignore every
// event of a connection other than the current one. The database work (the
// camera refresh and the check of the rules table) runs on a worker of its
// own and hands its results back to the main thread, so an unreachable or
// silent database server never holds up the timer or the session.
class ServerLink {
 public:
  // Gives camera worker `index` (0..8) a new stream address; does nothing
  // while that worker does not exist.
  using SetCameraUrl = std::function<void(int index, const std::string& url)>;

  // Everything passed in must outlive the link.
  ServerLink(service::ServiceState& state, platform::MainLoop& loop, capture::EventQueue& queue,
             Database& database, SetCameraUrl set_camera_url);
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;
  // Disables the link if that has not been done.
  ~ServerLink();

  // Enables the Watchdog; the first tick follows after 100 ms. Any thread.
  void Enable();

  // Disables the Watchdog, closes the session with 1000 "bye" and waits (up to
  // a few seconds) until every connection this link made has ended, so that
  // no handler runs afterwards. Not on the main thread.
  void Disable();

  // Sets the Watchdog's interval: the settings page asks for 100 ms after new
  // credentials so that the next tick comes at once. Any thread.
  void SetWatchdogInterval(std::chrono::milliseconds interval);

  // The tick handler; main thread.
  void WatchdogTimer();

  // Session handlers; main thread.
  void OnEventClientOpen(transport::TWebSocketCustomConnection& aSender);
  void OnEventClientRead(transport::TWebSocketCustomConnection& aSender, bool aFinal, bool aRes1,
                         bool aRes2, bool aRes3, int32_t aCode, const std::string& aData);
  void OnEventClientClose(transport::TWebSocketCustomConnection& aSender, int32_t aCloseCode,
                          const std::string& aCloseReason, bool aClosedByPeer);

 private:
  void Connect(const std::string& host);
  void CloseSilentSession();
  void RefreshCameras();
  void ApplyCameraAddresses(const std::array<std::string, kCameraCount>& addresses);
  void OnWelcome(transport::TWebSocketCustomConnection& sender, platform::DateTime arrival);
  void OnDatabaseAnswer(const std::string& text);
  void FinishSetUp(const std::string& error, const DatabaseLocation& location);

  service::ServiceState& state_;
  platform::MainLoop& loop_;
  capture::EventQueue& queue_;
  Database& database_;
  SetCameraUrl set_camera_url_;
  platform::MainLoopTimer watchdog_;

  // Main thread only.
  transport::ConnectionHandle ws_client;
  std::string connection_host_;                           // the address ws_client was opened to
  std::vector<transport::ConnectionHandle> connections_;  // every one not yet ended
  bool disabled_ = false;

  // Last member: stopped first, before anything its results would touch.
  DatabaseWorker worker_;
};

}  // namespace kestrin::link
