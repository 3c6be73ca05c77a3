#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/local_time.h"
#include "service/guarded_text.h"
#include "service/main_log.h"
#include "service/metrics.h"
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

// The state shared by the whole service: the service module's fields, the
// module-wide values and the process-wide locks. Subsystems get a reference to
// the one instance.
class ServiceState {
 public:
  explicit ServiceState(ServiceConfig config);
  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  const ServiceConfig& config() const { return config_; }
  ServiceLog& log() { return log_; }
  SettingsFile& settings() { return settings_; }
  Metrics& metrics() { return *metrics_; }
  // For work that may outlive the service object (frame savers).
  std::shared_ptr<Metrics> shared_metrics() { return metrics_; }

  // Writes one log line; a failure to write is swallowed. For the threads
  // whose callers have nobody to report a log failure to.
  void TryLog(std::string_view text);

  // --- The session fields, guarded by settings_lock. ---
  std::mutex settings_lock;
  bool server_connect = false;
  platform::DateTime server_lastping{};
  std::string server_ip;
  std::string server_login;
  std::string server_pass;  // the password digest, 32 uppercase hex digits
  std::string db_host;
  std::string db_path;  // empty: no usable database
  std::string db_login;
  std::string db_pass;

  // Key text of the password cipher; written once at start, read-only after.
  std::string sekey;

  // --- Module-wide values, each read and replaced as a whole. ---
  GuardedText archive_path;  // no trailing separator; empty: no photos
  std::atomic<int32_t> archive_limit{0};
  std::atomic<int32_t> name_format{0};
  std::atomic<platform::DateTime> service_started{};
  std::atomic<platform::DateTime> session_started{};
  std::atomic<platform::DateTime> last_message{};
  // Set during start before the threads that show them run.
  std::string program_version;
  std::string vlc_version;

  // Taken only to open or close a database connection.
  std::mutex database_lock;

 private:
  ServiceConfig config_;
  ServiceLog log_;
  SettingsFile settings_;
  std::shared_ptr<Metrics> metrics_ = std::make_shared<Metrics>();
};

}  // namespace kestrin::service
