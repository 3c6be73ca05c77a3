#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrin::web {

// Outcome of the administrator's login test.
enum class LoginResult {
  kPassed,         // the Basic credentials are the server login and password
  kFailedAttempt,  // credentials were examined and are wrong: pause, no cookie
  kAskCredentials  // no usable cookie or no credentials: new cookie, challenge
};

// The login test. Only the first cookie named exactly "authfd" counts, and
// only a value longer than 10 characters lets the Basic credentials be
// examined. They pass when the user name equals `server_login` exactly and the
// password digest of `password` equals `server_pass`.
LoginResult CheckLogin(const std::vector<std::pair<std::string, std::string>>& cookies,
                       std::string_view user, std::string_view password,
                       std::string_view server_login, std::string_view server_pass);

// What a request gets, decided in this order (the first that matches).
enum class Route {
  kFavicon,              // raw path "/favicon.ico"
  kStylesheet,           // raw path "/main.css"
  kRedirectHome,         // not connected and not "/"; or logged in, unnamed path
  kLocalOnly,            // not connected, client on another machine
  kApplyServerSettings,  // not connected, local, parameter text has "server_ip"
  kServerForm,           // not connected, local
  kLiveFrame,            // "img" by name, any path, no login
  kCameraRestart,        // "restartnow" by name, any path, no login
  kChallenge,            // the login test did not pass
  kSignOut,              // "/exit"
  kSavedFrame,           // "/getsaveframe"
  kDemoEvent,            // "/demotest" with "ruleid="
  kRules,                // "/rules"
  kSaveSettings,         // parameter text has "c_handle="
  kStatusPage            // "/"
};

struct RouteInput {
  std::string_view raw_path;
  std::string_view decoded_path;
  bool server_connect = false;
  bool local_client = false;
  const std::vector<std::string>* params = nullptr;
  std::string_view param_text;
  LoginResult login = LoginResult::kAskCredentials;
};

// The routing decision for one request.
Route RouteFor(const RouteInput& input);

// True when the request changes what the service keeps: the server
// connection data, the status-page settings, a rule (delete or save) or the
// event queue (demonstration event). Such a request is served only from the
// service's own pages.
bool ChangesState(Route route, std::string_view param_text);

}  // namespace kestrin::web
