#include "app/metrics_endpoint.h"

#include <prometheus/exposer.h>

#include <exception>

namespace kestrin::app {

MetricsEndpoint::MetricsEndpoint(service::Metrics& metrics) : metrics_(metrics) {}

MetricsEndpoint::~MetricsEndpoint() {
  Stop();
}

std::string MetricsEndpoint::Start(const std::string& address, int port) {
  const bool ipv6 = address.find(':') != std::string::npos;
  const std::string listen = (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(listen, 1);
    exposer_->RegisterCollectable(metrics_.collectable());
  } catch (const std::exception& e) {
    exposer_.reset();
    return listen + ": " + e.what();
  }
  return "";
}

void MetricsEndpoint::Stop() {
  exposer_.reset();
}

}  // namespace kestrin::app
