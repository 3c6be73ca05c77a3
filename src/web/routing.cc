#include "web/routing.h"

#include "platform/text.h"
#include "service/digests.h"
#include "web/parameters.h"

namespace kestrin::web {
LoginResult CheckLogin(const std::vector<std::pair<std::string, std::string>>& cookies,
                       std::string_view user, std::string_view password,
                       std::string_view server_login, std::string_view server_pass) {
  std::string_view cookie;
  for (const auto& [name, value] : cookies) {
    if (name == "authfd") {
      cookie = value;
      break;
    }
  }
  if (platform::CharacterCount(cookie) <= 10) return LoginResult::kAskCredentials;
  if (user.empty() || password.empty()) return LoginResult::kAskCredentials;
  if (user == server_login && service::PasswordDigest(password) == server_pass) {
    return LoginResult::kPassed;
  }
  return LoginResult::kFailedAttempt;
}

Route RouteFor(const RouteInput& in) {
  static const std::vector<std::string> kNoParams;
  const std::vector<std::string>& params = in.params ? *in.params : kNoParams;
  const std::string_view path = in.decoded_path;

  if (in.raw_path == "/favicon.ico") return Route::kFavicon;
  if (in.raw_path == "/main.css") return Route::kStylesheet;
  if (!in.server_connect) {
    if (in.raw_path != "/") return Route::kRedirectHome;
    if (!in.local_client) return Route::kLocalOnly;
    if (ParamPresent(in.param_text, "server_ip")) return Route::kApplyServerSettings;
    return Route::kServerForm;
  }
  if (ParamByName(params, "img")) return Route::kLiveFrame;
  if (ParamByName(params, "restartnow")) return Route::kCameraRestart;
  if (in.login != LoginResult::kPassed) return Route::kChallenge;
  if (path == "/exit") return Route::kSignOut;
  if (path == "/getsaveframe" || path == "/getsaveframe/") return Route::kSavedFrame;
  if ((path == "/demotest" || path == "/demotest/") && ParamPresent(in.param_text, "ruleid=")) {
    return Route::kDemoEvent;
  }
  if (path == "/rules" || path == "/rules/") return Route::kRules;
  if (ParamPresent(in.param_text, "c_handle=")) return Route::kSaveSettings;
  if (path == "/") return Route::kStatusPage;
  return Route::kRedirectHome;
}

bool ChangesState(Route route, std::string_view param_text) {
  switch (route) {
    case Route::kApplyServerSettings:
    case Route::kSaveSettings:
    case Route::kDemoEvent:
      return true;
    case Route::kRules:
      return ParamPresent(param_text, "delrule=") || ParamPresent(param_text, "s_handle=");
    default:
      return false;
  }
}

}  // namespace kestrin::web
