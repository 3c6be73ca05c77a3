#pragma once

#include <memory>

#include "capture/clear_thread.h"
#include "picserver/pic_server.h"
#include "platform/main_loop.h"
#include "platform/shared_library.h"
#include "service/service_state.h"
#include "service/vlc_library.h"

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

 private:
  platform::MainLoop& loop_;
  service::ServiceState state_;
  platform::SharedLibrary database_client_;
  service::VlcLibrary vlc_;
  std::unique_ptr<picserver::PicServer> pic_server_;
  std::unique_ptr<capture::TClearThread> clear_thread_;
};

}  // namespace kestrin::app
