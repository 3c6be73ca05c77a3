#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/local_time.h"
#include "service/archive_settings.h"
#include "service/main_log.h"
#include "service/metrics.h"
#include "service/session.h"
#include "service/settings_file.h"

namespace kestrin::service {

// Where the service keeps its files and which ports it uses.
struct ServiceConfig {
  std::filesystem::path home;  // settings, log, default archive, libfbclient.so.2
  std::string vlc_dir;         // empty: the system's libVLC
  int web_port = 8035;
  int picture_port = 7727;
  int server_port = 7712;
};

// What the service module holds for its components: the session, the archive
// settings, the log, the settings file and the metrics, each guarding itself,
// plus the values written once during start. The service module owns the one
// instance and hands each component the parts it needs.
class ServiceState {
 public:
  explicit ServiceState(ServiceConfig config);
  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  const ServiceConfig& config() const { return config_; }
  ServiceLog& log() { return log_; }
  SettingsFile& settings() { return settings_; }
  Session& session() { return session_; }
  ArchiveSettings& archive() { return archive_; }
  Metrics& metrics() { return *metrics_; }
  // For work that may outlive the service object (frame savers).
  std::shared_ptr<Metrics> shared_metrics() { return metrics_; }

  // Writes one log line; a failure to write is swallowed.
  void TryLog(std::string_view text) { log_.TryLog(text); }

  // Written during start, before the threads that read them run; read-only
  // after that.
  std::string sekey;  // key text of the password cipher
  std::string program_version;
  std::string vlc_version;
  std::atomic<platform::DateTime> service_started{};

 private:
  ServiceConfig config_;
  ServiceLog log_;
  SettingsFile settings_;
  Session session_;
  ArchiveSettings archive_;
  std::shared_ptr<Metrics> metrics_ = std::make_shared<Metrics>();
};

}  // namespace kestrin::service
