#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "app/hang_diagnostic.h"
#include "app/keep_alive.h"
#include "app/metrics_endpoint.h"

#include "capture/clear_thread.h"
#include "capture/event_queue.h"
#include "capture/events_thread.h"
#include "capture/tvlc_thread.h"
#include "link/database.h"
#include "link/server_link.h"
#include "picserver/pic_server.h"
#include "platform/heartbeat.h"
#include "platform/main_loop.h"
#include "platform/shared_library.h"
#include "service/operations_settings.h"
#include "service/service_state.h"
#include "service/vlc_library.h"
#include "web/web_server.h"

namespace kestrin::app {

// The service module: owns the shared state and every component of the
// service, and brings them up and down in a fixed order.
class TKestrinVideoserver {
 public:
  TKestrinVideoserver(service::ServiceConfig config, platform::MainLoop& loop);
  TKestrinVideoserver(const TKestrinVideoserver&) = delete;
  TKestrinVideoserver& operator=(const TKestrinVideoserver&) = delete;
  ~TKestrinVideoserver();

  // Checks the environment and starts every worker. True when the service runs.
  // Runs at most once. Throws when the log or the settings file cannot be
  // written (a failed start as well).
  bool ServiceStart();

  // Takes the workers down in order and waits for each. Only after a
  // successful start.
  void ServiceStop();

  service::ServiceState& state() { return state_; }

  // Camera worker `index` (0..8; camera N of the web interface is worker N-1).
  // The objects exist for the service's whole life; their threads run from
  // start to stop.
  static constexpr int kCameraCount = 9;
  capture::TVLCThread& camera(int index) { return *cameras_.at(index); }

  capture::EventQueue& event_queue() { return event_queue_; }
  link::Database& database() { return database_; }
  link::ServerLink& server_link() { return *server_link_; }

 private:
  platform::MainLoop& loop_;
  service::ServiceState state_;
  platform::SharedLibrary database_client_;
  service::VlcLibrary vlc_;
  // Declared before every component that uses them, so destroyed after them.
  link::Database database_{state_.log()};
  // The event thread beats this every turn; the keep-alives go to systemd
  // only while it is fresh. Both outlive the event thread.
  platform::Heartbeat event_heartbeat_;
  HangDiagnostic hang_diagnostic_{loop_};
  std::array<std::unique_ptr<capture::TVLCThread>, kCameraCount> cameras_;
  capture::EventQueue event_queue_;
  std::unique_ptr<capture::TEventsThread> events_thread_;
  std::unique_ptr<link::ServerLink> server_link_;
  std::unique_ptr<picserver::PicServer> pic_server_;
  std::unique_ptr<capture::TClearThread> clear_thread_;
  // The web administration server; stopped before anything it uses goes.
  std::unique_ptr<web::WebServer> IdHTTPServer1;

  std::unique_ptr<KeepAlive> keep_alive_;
  MetricsEndpoint metrics_endpoint_{state_.metrics()};

  // Camera worker `index`, or nullptr outside 0..8.
  capture::TVLCThread* Camera(int index);
  // Gives the worker a new address; nothing outside 0..8.
  void SetCameraUrl(int index, const std::string& url);
  // Its published fields, or nullopt outside 0..8.
  std::optional<capture::CameraStatus> CameraStatusOf(int index);
  // What the web pages reach of the service.
  web::WebContext MakeWebContext();
  // Hooks of the event thread: the heartbeat, and savers that count photos.
  capture::EventsThreadHooks MakeEventsThreadHooks();
  // The archive cleaner, counting the bytes it removes.
  std::unique_ptr<capture::TClearThread> MakeClearThread();
  // Starts the metrics endpoint when the settings ask for one; logs the outcome.
  void StartMetrics(const service::OperationsSettings& settings);
  // Brings the state gauges up to date before a scrape.
  void RefreshMetrics(service::Metrics& metrics);
  // "3 cameras streaming, 120 photos today".
  std::string StatusText();
};

}  // namespace kestrin::app
