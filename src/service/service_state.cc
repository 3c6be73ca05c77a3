#include "service/service_state.h"

namespace kestrin::service {

ServiceState::ServiceState(ServiceConfig config)
    : config_(std::move(config)),
      log_((config_.home / "videoserver.log").string()),
      settings_((config_.home / "vs_settings.ini").string()) {}

}  // namespace kestrin::service
