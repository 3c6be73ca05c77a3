#include "service/operations_settings.h"

namespace kestrin::service {

OperationsSettings ReadOperationsSettings(const SettingsFile& settings) {
  OperationsSettings result;
  result.metrics_port = settings.ReadInt("metrics", "port", 0);
  std::string address = settings.Read("metrics", "address", "");
  if (!address.empty()) result.metrics_address = address;
  result.certificate_file = settings.Read("web", "certfile", "");
  result.key_file = settings.Read("web", "keyfile", "");
  return result;
}

}  // namespace kestrin::service
