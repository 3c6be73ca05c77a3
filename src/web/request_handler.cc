#include "web/request_handler.h"

#include <filesystem>

#include <fmt/format.h>

#include "service/digests.h"
#include "service/settings_file.h"
#include "web/demo_event.h"
#include "web/favicon.h"
#include "web/frame_viewer.h"
#include "web/page.h"
#include "web/parameters.h"
#include "web/request_origin.h"
#include "web/rules_editor.h"
#include "web/status_page.h"

namespace kestrin::web {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFailedLoginPause{3000};
constexpr milliseconds kServerSettingsPause{10000};
constexpr milliseconds kWatchdogAtOnce{100};
constexpr milliseconds kCameraRestartInterval{5000};

}  // namespace

WebHandler::WebHandler(WebContext context, Pause pause)
    : context_(std::move(context)),
      pause_(std::move(pause)),
      camera_restarts_(kCameraRestartInterval) {}

WebResponse WebHandler::IdHTTPServer1CommandGet(const WebRequest& request) {
  // Every request decides from one copy of the session, taken at its start.
  const service::SessionSnapshot session = context_.state->session().Snapshot();
  const std::string param_text = request.ParamText();

  RouteInput input;
  input.raw_path = request.raw_path;
  input.decoded_path = request.decoded_path;
  input.server_connect = session.server_connect;
  input.local_client = IsLocalClient(request.peer_address, request.local_address);
  input.params = &request.params;
  input.param_text = param_text;
  input.login = session.server_connect
                    ? CheckLogin(request.cookies, request.basic_user, request.basic_password,
                                 session.server_login, session.server_pass)
                    : LoginResult::kAskCredentials;

  const Route route = RouteFor(input);
  // A change comes only from the service's own pages: the "authfd" cookie is
  // SameSite=Strict, so another site's page gets the challenge above, and a
  // page of the same site on another port or host name is refused here.
  if (ChangesState(route, param_text) &&
      !FromOwnOrigin({request.fetch_site, request.origin, request.referer, request.host})) {
    WebResponse refused = WebResponse::PlainText("ошибка");
    refused.status = 403;
    return refused;
  }

  switch (route) {
    case Route::kFavicon:
      return WebResponse::Picture("image/png", std::string(FaviconPng()));
    case Route::kStylesheet:
      return WebResponse::Picture("text/css", std::string(kStylesheet));
    case Route::kRedirectHome:
      return WebResponse::Redirect("/");
    case Route::kLocalOnly:
      return WebResponse::Page("<p>Доступ разрешен только с локального компьютера</p>");
    case Route::kApplyServerSettings:
      return ApplyServerSettings(request);
    case Route::kServerForm:
      return WebResponse::Page(ServerFormBody(session.server_ip, session.server_login));
    case Route::kChallenge:
      return LoginChallenge(input.login);
    case Route::kSignOut: {
      WebResponse response = WebResponse::Page("<p>Сеанс завершен</p>");
      response.cookies.emplace_back("authfd", "0");
      return response;
    }
    case Route::kSaveSettings:
      return SaveSettings(request, session);
    case Route::kStatusPage:
      return StatusPage();
    case Route::kLiveFrame:
      return LiveFrameReply(ParamByName(request.params, "img").value_or(""), context_.read_camera);
    case Route::kCameraRestart:
      return CameraRestart(request);
    case Route::kSavedFrame:
      return SavedFrameReply(request.params, context_.state->archive().Path(),
                             context_.state->archive().NameFormat());
    case Route::kDemoEvent:
      return DemoEventReply(request.params, session.db_path, context_);
    case Route::kRules:
      return RulesEditor(context_).Handle(request.params, param_text, session.db_path);
  }
  return WebResponse::Redirect("/");
}

WebResponse WebHandler::CameraRestart(const WebRequest& request) {
  const std::string value = ParamByName(request.params, "restartnow").value_or("");
  std::optional<int> camera = CameraNumber(value);
  if (camera && !camera_restarts_.Allow(*camera)) {
    return CameraRestartReply(value, nullptr);  // the same answer, no restart
  }
  return CameraRestartReply(value, context_.restart_camera);
}

WebResponse WebHandler::LoginChallenge(LoginResult login) {
  if (login == LoginResult::kFailedAttempt) {
    if (context_.state) context_.state->metrics().WebLoginFailed();
    pause_(kFailedLoginPause);
    return WebResponse::Challenge();
  }
  WebResponse response = WebResponse::Challenge();
  response.cookies.emplace_back("authfd", std::to_string(MillisSince1900Now()));
  return response;
}

WebResponse WebHandler::ApplyServerSettings(const WebRequest& request) {
  ServerSettings settings = ParseServerSettings(request.params);
  if (!settings.ip.empty() && !settings.login.empty() && !settings.password.empty()) {
    std::string digest = service::PasswordDigest(settings.password);
    context_.state->session().SetCredentials(settings.ip, settings.login, digest);
    // The next supervision pass tries the new data at once.
    if (context_.set_watchdog_interval) context_.set_watchdog_interval(kWatchdogAtOnce);
  }
  pause_(kServerSettingsPause);
  return WebResponse::Redirect("/");
}

WebResponse WebHandler::StatusPage() {
  service::ServiceState& state = *context_.state;
  StatusSnapshot snapshot;
  snapshot.program_version = state.program_version;
  snapshot.vlc_version = state.vlc_version;
  snapshot.service_started = state.service_started.load();
  const service::SessionSnapshot session = state.session().Snapshot();
  snapshot.session_started = session.session_started;
  snapshot.last_message = session.last_message;
  snapshot.archive_path = state.archive().Path();
  snapshot.free_space = FreeSpaceOf(snapshot.archive_path);
  snapshot.archive_limit = state.archive().Limit();
  for (int i = 0; i < 9; ++i) {
    if (!context_.read_camera) break;
    if (std::optional<CameraStatus> camera = context_.read_camera(i)) {
      snapshot.cameras[i] = std::move(*camera);
    }
  }
  snapshot.form_mark = MillisSince1900Now();
  return WebResponse::Page(StatusPageBody(snapshot));
}

WebResponse WebHandler::SaveSettings(const WebRequest& request,
                                     const service::SessionSnapshot& session) {
  service::ServiceState& state = *context_.state;
  const SettingsForm form = ParseSettingsForm(request.params);

  if (!form.limit.empty() && form.limit != std::to_string(state.archive().Limit())) {
    int limit = service::ParseSettingInt(form.limit);
    state.archive().SetLimit(limit);
    state.settings().Write("main", "archlimit", std::to_string(limit));
  }

  if (!form.folder.empty()) {
    std::string folder = NormalizeArchiveFolder(form.folder);
    std::error_code error;
    if (folder != state.archive().Path() && std::filesystem::is_directory(folder, error)) {
      state.archive().SetPath(folder);
      state.settings().Write("main", "arch", folder);
    }
  }

  if (session.db_path.empty()) return WebResponse::Redirect("/");

  std::string error = "database layer unavailable";
  std::unique_ptr<DatabaseConnection> db;
  if (context_.open_database) db = context_.open_database(error);
  if (!db) return DatabaseErrorReply(error);

  for (int n = 1; n <= 9; ++n) {
    const std::string& url = form.urls[n - 1];
    link::SaveCameraAddress(*db, n, url);
    if (context_.set_camera_url) context_.set_camera_url(n - 1, url);
  }
  db.reset();  // closes the connection under the database lock
  return WebResponse::Redirect("/");
}

}  // namespace kestrin::web
