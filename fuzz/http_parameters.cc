// Feeds one HTTP request, as the web front takes it apart, to the pure
// functions between the wire and the pages: the parameter list (form body and
// query), cookies, Basic credentials, the local client test, the login test,
// the routing decision, the four ways of reading parameters and the form
// readers built on them.
//
// Input: lines, the last field taking the rest of the input:
//   flags    "1" at its start: the service is logged in to the server
//   target   request target, path and query
//   content type of the body
//   cookie   one Cookie header
//   authorization header
//   peer address, local address
//   body     everything after the local address line

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <strings.h>

#include "fuzz_support.h"
#include "platform/text.h"
#include "service/base64.h"
#include "service/digests.h"
#include "web/frame_viewer.h"
#include "web/parameters.h"
#include "web/request.h"
#include "web/routing.h"
#include "web/rules_form.h"
#include "web/status_page.h"

namespace {

using namespace kestrin::web;
using kestrin::platform::CharacterCount;

// The server login the administrator's credentials are compared with.
constexpr std::string_view kServerLogin = "admin";
constexpr std::string_view kServerPassword = "secret";

// Every key the pages read, by the convention each uses, plus a few that
// overlap them.
constexpr std::string_view kKeys[] = {
    "img",           "restartnow",   "dvs=",   "time=",    "ruleid=",     "delrule=",  "editrule=",
    "s_handle=",     "event=",       "cam=",   "quality=", "multiframe=", "delay=",    "changeid=",
    "c_handle=",     "rewrite=",     "apath=", "url1=",    "url9=",       "server_ip", "server_ip=",
    "server_login=", "server_pass=", "=",      "",         "a",
};

std::string_view NextLine(std::string_view& input) {
  size_t end = input.find('\n');
  std::string_view line = input.substr(0, end);
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return line;
}

size_t CountOccurrences(std::string_view text, std::string_view key) {
  size_t count = 0;
  for (size_t at = text.find(key); at != std::string_view::npos;
       at = text.find(key, at + key.size()))
    ++count;
  return count;
}

void CheckConventions(const std::vector<std::string>& params, const std::string& param_text) {
  for (std::string_view key : kKeys) {
    // By name: the first line of that name, case ignored, and never an empty value.
    std::optional<std::string> by_name = ParamByName(params, key);
    auto first_named = std::find_if(params.begin(), params.end(), [&](const std::string& line) {
      std::string_view name = std::string_view(line).substr(0, line.find('='));
      return name.size() == key.size() && strncasecmp(name.data(), key.data(), key.size()) == 0;
    });
    if (by_name) {
      FUZZ_CHECK(first_named != params.end());
      FUZZ_CHECK(!by_name->empty());
      FUZZ_CHECK(first_named->size() == key.size() + 1 + by_name->size());
      FUZZ_CHECK(std::string_view(*first_named).substr(key.size() + 1) == *by_name);
    }

    // Presence on the joined text equals presence in one line, for keys that
    // hold no line break.
    bool in_a_line = std::any_of(params.begin(), params.end(), [&](const std::string& line) {
      return line.find(key) != std::string::npos;
    });
    FUZZ_CHECK(ParamPresent(param_text, key) == (in_a_line || (key.empty() && params.empty())));

    // Scan: the last line holding the key, with every occurrence removed.
    std::optional<std::string> scanned = ParamScan(params, key);
    FUZZ_CHECK(scanned.has_value() == in_a_line);
    if (scanned) {
      auto last = std::find_if(params.rbegin(), params.rend(), [&](const std::string& line) {
        return line.find(key) != std::string::npos;
      });
      FUZZ_CHECK(*scanned == RemoveAll(*last, key));
    }
    for (const std::string& line : params) {
      std::string removed = RemoveAll(line, key);
      if (key.empty()) {
        FUZZ_CHECK(removed == line);
      } else {
        FUZZ_CHECK(removed.size() == line.size() - CountOccurrences(line, key) * key.size());
      }
    }

    // First line only: the scan rule on the first line alone.
    std::optional<std::string> first = ParamFirstLine(params, key);
    if (params.empty()) {
      FUZZ_CHECK(!first);
    } else {
      FUZZ_CHECK(first == ParamScan({params.front()}, key));
    }
  }
}

void CheckForms(const std::vector<std::string>& params) {
  // The server connection form reads every line for all three keys: the
  // scan rule for each.
  ServerSettings server = ParseServerSettings(params);
  FUZZ_CHECK(server.ip == ParamScan(params, "server_ip=").value_or(""));
  FUZZ_CHECK(server.login == ParamScan(params, "server_login=").value_or(""));
  FUZZ_CHECK(server.password == ParamScan(params, "server_pass=").value_or(""));
  // Without a limit or folder key in any line, the camera addresses are
  // scanned like parameters.
  SettingsForm settings = ParseSettingsForm(params);
  if (!ParamScan(params, "rewrite=") && !ParamScan(params, "apath=")) {
    FUZZ_CHECK(settings.limit.empty() && settings.folder.empty());
    FUZZ_CHECK(settings.urls[0] == ParamScan(params, "url1=").value_or(""));
  }

  RuleForm form = ParseRuleForm(params);
  FUZZ_CHECK(form.delay >= 0 && form.delay <= kMaxRuleDelay);
  if (std::optional<RuleRecord> rule = MakeRuleRecord(form)) {
    FUZZ_CHECK(CharacterCount(rule->controller) == 12);
    FUZZ_CHECK(rule->camera > 0);
    FUZZ_CHECK(rule->event_code.size() == 4);
    FUZZ_CHECK((rule->rgt == 2 && rule->mtl == 5) || (rule->rgt == 0 && rule->mtl == 0));
  }

  for (std::string_view key : {"img", "restartnow"}) {
    if (auto value = ParamByName(params, key)) {
      if (auto camera = CameraNumber(*value)) FUZZ_CHECK(*camera >= 1 && *camera <= 9);
    }
  }
  if (auto time = ParamScan(params, "time=")) {
    try {
      kestrin::platform::LocalFields t = SavedFrameTime(*time);
      FUZZ_CHECK(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
      FUZZ_CHECK(t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59);
      FUZZ_CHECK(t.second >= 0 && t.second <= 59);
    } catch (const std::invalid_argument&) {
      // No valid date and time: the page answers with its error text.
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool server_connect = NextLine(input).substr(0, 1) == "1";
  const std::string_view target = NextLine(input);
  const std::string_view content_type = NextLine(input);
  const std::string_view cookie_header = NextLine(input);
  const std::string_view authorization = NextLine(input);
  const std::string_view peer = NextLine(input);
  const std::string_view local = NextLine(input);
  const std::string_view body = input;

  // The request as the web server takes it apart.
  size_t question = target.find('?');
  std::string raw_path(target.substr(0, question));
  std::string decoded_path = PercentDecode(raw_path, false);
  std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  std::vector<std::string> params = BuildParameterList(body, content_type, query);
  std::vector<std::pair<std::string, std::string>> cookies;
  AppendCookies(cookie_header, cookies);
  auto [user, password] = DecodeBasicCredentials(authorization);

  FUZZ_CHECK(decoded_path.size() <= raw_path.size());
  if (raw_path.find('%') == std::string::npos) FUZZ_CHECK(decoded_path == raw_path);

  // Every parameter line is UTF-8 text, whatever the bytes and charset; the
  // form's pairs come first, then the query's.
  std::vector<std::string> query_params = ParsePairs(query, FormCharset::kUtf8);
  FUZZ_CHECK(params.size() >= query_params.size());
  FUZZ_CHECK(std::equal(query_params.begin(), query_params.end(),
                        params.end() - static_cast<std::ptrdiff_t>(query_params.size())));
  for (const std::string& line : params) {
    FUZZ_CHECK(!line.empty());
    FUZZ_CHECK(kestrin::fuzz::IsValidUtf8(line));
  }
  FUZZ_CHECK(query_params.size() <=
             static_cast<size_t>(std::count(query.begin(), query.end(), '&')) + 1);

  // Cookies: split at ";" and trimmed; nothing else is lost.
  for (const auto& [name, value] : cookies) {
    FUZZ_CHECK(name.find(';') == std::string::npos && value.find(';') == std::string::npos);
    for (std::string_view text : {std::string_view(name), std::string_view(value)}) {
      FUZZ_CHECK(text.empty() || (text.front() != ' ' && text.front() != '\t' &&
                                  text.back() != ' ' && text.back() != '\t'));
    }
  }
  FUZZ_CHECK(cookies.size() <=
             static_cast<size_t>(std::count(cookie_header.begin(), cookie_header.end(), ';')) + 1);

  // Credentials are UTF-8 text; credentials sent Base64-encoded come back.
  FUZZ_CHECK(kestrin::fuzz::IsValidUtf8(user) && kestrin::fuzz::IsValidUtf8(password));
  if (user.find(':') == std::string::npos) {
    auto round =
        DecodeBasicCredentials("Basic " + kestrin::service::Base64Encode(user + ":" + password));
    FUZZ_CHECK(round.first == user && round.second == password);
  }

  // The local client test compares whole addresses of one family.
  bool local_client = IsLocalClient(peer, local);
  if (local_client) FUZZ_CHECK(AddressBytes(peer) == AddressBytes(local));
  if (auto bytes = AddressBytes(peer)) {
    FUZZ_CHECK(bytes->size() == 4 || bytes->size() == 16);
    FUZZ_CHECK(IsLocalClient(peer, peer));
  }

  // The login test passes only for the server's login and password.
  const std::string server_pass = kestrin::service::PasswordDigest(kServerPassword);
  LoginResult login = CheckLogin(cookies, user, password, kServerLogin, server_pass);
  if (login == LoginResult::kPassed)
    FUZZ_CHECK(user == kServerLogin && password == kServerPassword);
  auto authfd = std::find_if(cookies.begin(), cookies.end(),
                             [](const auto& cookie) { return cookie.first == "authfd"; });
  if (authfd == cookies.end() || CharacterCount(authfd->second) <= 10 || user.empty() ||
      password.empty()) {
    FUZZ_CHECK(login == LoginResult::kAskCredentials);
  }

  const std::string param_text = [&] {
    WebRequest request;
    request.params = params;
    return request.ParamText();
  }();
  RouteInput route_input{raw_path, decoded_path, server_connect, local_client,
                         &params,  param_text,   login};
  Route route = RouteFor(route_input);

  // The decision table's fixed points.
  FUZZ_CHECK((route == Route::kFavicon) == (raw_path == "/favicon.ico"));
  FUZZ_CHECK((route == Route::kStylesheet) == (raw_path == "/main.css"));
  if (!server_connect) {
    FUZZ_CHECK(route == Route::kFavicon || route == Route::kStylesheet ||
               route == Route::kRedirectHome || route == Route::kLocalOnly ||
               route == Route::kApplyServerSettings || route == Route::kServerForm);
    if (route == Route::kLocalOnly || route == Route::kApplyServerSettings ||
        route == Route::kServerForm) {
      FUZZ_CHECK(raw_path == "/");
      FUZZ_CHECK((route != Route::kLocalOnly) == local_client);
    }
  } else {
    FUZZ_CHECK(route != Route::kLocalOnly && route != Route::kApplyServerSettings &&
               route != Route::kServerForm);
    bool camera_action = route == Route::kLiveFrame || route == Route::kCameraRestart;
    bool needs_login = !camera_action && route != Route::kFavicon && route != Route::kStylesheet &&
                       route != Route::kChallenge;
    if (needs_login) FUZZ_CHECK(login == LoginResult::kPassed);
    if (route == Route::kLiveFrame) FUZZ_CHECK(ParamByName(params, "img"));
    if (route == Route::kStatusPage) FUZZ_CHECK(decoded_path == "/");
  }

  CheckConventions(params, param_text);
  CheckForms(params);
  return 0;
}
