#include "app/kestrin_videoserver.h"

#include <fmt/format.h>

#include "capture/save_service.h"
#include "link/database_adapter.h"
#include "link/database_rules.h"
#include "platform/file_system.h"
#include "platform/local_time.h"
#include "platform/machine_id.h"
#include "platform/systemd.h"
#include "service/startup.h"
#include "service/version.h"

namespace kestrin::app {

TKestrinVideoserver::TKestrinVideoserver(service::ServiceConfig config, platform::MainLoop& loop)
    : loop_(loop), state_(std::move(config)) {
  for (int i = 0; i < kCameraCount; ++i) {
    cameras_[i] = std::make_unique<capture::TVLCThread>(i, vlc_.api(), state_);
  }
  server_link_ = std::make_unique<link::ServerLink>(
      state_, loop_, event_queue_, database_,
      [this](int index, const std::string& url) { SetCameraUrl(index, url); });
}

TKestrinVideoserver::~TKestrinVideoserver() = default;

capture::TVLCThread* TKestrinVideoserver::Camera(int index) {
  return index >= 0 && index < kCameraCount ? cameras_[index].get() : nullptr;
}

void TKestrinVideoserver::SetCameraUrl(int index, const std::string& url) {
  if (capture::TVLCThread* camera = Camera(index)) camera->SetUrl(url);
}

std::optional<capture::CameraStatus> TKestrinVideoserver::CameraStatusOf(int index) {
  if (capture::TVLCThread* camera = Camera(index)) return camera->Status();
  return std::nullopt;
}

bool TKestrinVideoserver::ServiceStart() {
  state_.program_version =
      fmt::format("{}.{}.{}", KESTRIN_VERSION_MAJOR, KESTRIN_VERSION_MINOR, KESTRIN_VERSION_PATCH);
  state_.service_started = platform::Now();
  state_.session().Reset();

  events_thread_ = std::make_unique<capture::TEventsThread>(
      event_queue_, state_.archive(), state_.session(), state_.metrics(), MakeEventsThreadHooks());
  events_thread_->Start();

  state_.log().MainLog("Запуск службы");

  if (!service::LoadDatabaseClient(state_, database_client_)) return false;
  if (!vlc_.LoadVlc(state_.config().vlc_dir, state_.log())) return false;
  state_.vlc_version = vlc_.api().get_version();

  state_.sekey = platform::ReadMachineKey();
  service::ReadSettings(state_);
  const service::OperationsSettings operations = service::ReadOperationsSettings(state_.settings());
  // A certificate that does not load fails the start: the administration is
  // never served in clear text when HTTPS was asked for.
  IdHTTPServer1 = std::make_unique<web::WebServer>(MakeWebContext());
  if (operations.https()) {
    std::string error =
        operations.certificate_file.empty() || operations.key_file.empty()
            ? std::string("web/certfile and web/keyfile must both be set")
            : IdHTTPServer1->UseTls(operations.certificate_file, operations.key_file);
    if (!error.empty()) {
      state_.log().MainLog("ОШИБКА: HTTPS не настроен: " + error);
      return false;
    }
  }

  server_link_->Enable();
  for (auto& camera : cameras_) camera->Start();
  if (const int port = state_.config().web_port; IdHTTPServer1->Start(port)) {
    state_.log().MainLog(fmt::format("Вебсервер(порт {}) запущен", port));
  } else {
    state_.log().MainLog(fmt::format("ОШИБКА: Вебсервер(порт {}) не запущен", port));
  }
  pic_server_ = std::make_unique<picserver::PicServer>(
      picserver::PicServer::Services{state_.archive(), state_.log(), state_.metrics()});
  if (!pic_server_->Start(state_.config().picture_port)) {
    state_.log().MainLog(
        fmt::format("ОШИБКА: Сервер фотографий(порт {}) не запущен", state_.config().picture_port));
  }
  clear_thread_ = MakeClearThread();
  clear_thread_->Start();

  StartMetrics(operations);
  keep_alive_ = std::make_unique<KeepAlive>(loop_, event_heartbeat_, platform::WatchdogTimeout(),
                                            [this] { return StatusText(); });
  keep_alive_->Start();
  return true;
}

capture::EventsThreadHooks TKestrinVideoserver::MakeEventsThreadHooks() {
  capture::EventsThreadHooks hooks;
  hooks.load_rules = [this] { return link::LoadRules(database_); };
  hooks.camera_status = [this](int index) { return CameraStatusOf(index); };
  hooks.record_save = [this](int index, const std::string& lastfilename) {
    if (capture::TVLCThread* camera = Camera(index)) camera->RecordSave(lastfilename);
  };
  // Savers may outlive the service object: they hold the metrics themselves.
  hooks.start_saver = [metrics = state_.shared_metrics()](capture::SaveJob job) {
    metrics->SaverStarted();
    const auto matched = std::chrono::steady_clock::now();
    capture::SaveService::Instance().Submit(std::move(job), [metrics, matched](int pictures) {
      metrics->SaverEnded(pictures > 0, std::chrono::steady_clock::now() - matched);
    });
  };
  hooks.turn = [this](std::stop_token stop) {
    event_heartbeat_.Beat();
    hang_diagnostic_.EventThreadTurn(stop);
  };
  return hooks;
}

std::unique_ptr<capture::TClearThread> TKestrinVideoserver::MakeClearThread() {
  capture::CleanupFileSystem file_system;
  file_system.remove_file = [metrics = state_.shared_metrics()](const std::string& path) {
    const std::optional<int64_t> size = platform::EntrySize(path);
    if (!platform::RemoveFile(path)) return false;
    if (size) metrics->ArchiveBytesRemoved(*size);
    return true;
  };
  return std::make_unique<capture::TClearThread>(state_.archive(), std::chrono::seconds(60),
                                                 std::move(file_system));
}

void TKestrinVideoserver::StartMetrics(const service::OperationsSettings& settings) {
  if (!settings.metrics_enabled()) return;
  state_.metrics().SetRefresh([this](service::Metrics& metrics) { RefreshMetrics(metrics); });
  std::string error = metrics_endpoint_.Start(settings.metrics_address, settings.metrics_port);
  if (error.empty()) {
    state_.log().MainLog(fmt::format("Метрики(порт {}) запущены", settings.metrics_port));
  } else {
    state_.metrics().SetRefresh(nullptr);
    state_.log().MainLog(
        fmt::format("ОШИБКА: Метрики(порт {}) не запущены: {}", settings.metrics_port, error));
  }
}

void TKestrinVideoserver::RefreshMetrics(service::Metrics& metrics) {
  for (int i = 0; i < kCameraCount; ++i)
    metrics.SetCameraStreaming(i, cameras_[i]->Status().active);
  const std::string archive = state_.archive().Path();
  if (const std::optional<uint64_t> free =
          archive.empty() ? std::nullopt : platform::FreeBytes(archive)) {
    metrics.SetArchiveFreeBytes(static_cast<int64_t>(*free));
  }
  const service::SessionSnapshot session = state_.session().Snapshot();
  metrics.SetLinkState(session.server_connect, !session.db_path.empty());
}

std::string TKestrinVideoserver::StatusText() {
  int streaming = 0;
  for (auto& camera : cameras_) streaming += camera->Status().active ? 1 : 0;
  return StatusLine(streaming, state_.metrics().PhotosToday());
}

web::WebContext TKestrinVideoserver::MakeWebContext() {
  web::WebContext context;
  context.state = &state_;
  context.set_watchdog_interval = [this](std::chrono::milliseconds interval) {
    server_link_->SetWatchdogInterval(interval);
  };
  context.read_camera = [this](int index) { return CameraStatusOf(index); };
  context.set_camera_url = [this](int index, const std::string& url) { SetCameraUrl(index, url); };
  context.restart_camera = [this](int index) {
    if (capture::TVLCThread* camera = Camera(index)) camera->RequestRestart();
  };
  context.open_database = link::DatabaseOpener(database_);
  context.queue_event = [this](std::string item) { event_queue_.Put(std::move(item)); };
  return context;
}

void TKestrinVideoserver::ServiceStop() {
  // The keep-alives end first: what follows takes the event thread down.
  if (keep_alive_) keep_alive_->Stop();
  metrics_endpoint_.Stop();
  state_.metrics().SetRefresh(nullptr);
  if (pic_server_) pic_server_->Stop();
  server_link_->Disable();
  // The web server stops before anything it uses is released.
  if (IdHTTPServer1) IdHTTPServer1->Stop();
  for (auto& camera : cameras_) camera->Stop();
  if (events_thread_) events_thread_->Stop();
  if (clear_thread_) clear_thread_->Stop();
  state_.log().MainLog("Остановка службы");
}

}  // namespace kestrin::app
