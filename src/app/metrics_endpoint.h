#pragma once

#include <memory>
#include <string>

#include "service/metrics.h"

namespace prometheus {
class Exposer;
}

namespace kestrin::app {

// Serves the service's metrics in the Prometheus text format at /metrics on
// an address and port of its own; no login, nothing secret in it.
class MetricsEndpoint {
 public:
  explicit MetricsEndpoint(service::Metrics& metrics);
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
  ~MetricsEndpoint();

  // Listens on `address`:`port` (an IPv6 address without brackets is
  // accepted). Returns an error text, empty on success.
  std::string Start(const std::string& address, int port);
  // Stops serving; scrapes in progress are waited for. Idempotent.
  void Stop();

 private:
  service::Metrics& metrics_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace kestrin::app
