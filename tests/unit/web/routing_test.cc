#include "web/routing.h"

#include <gtest/gtest.h>

#include "service/digests.h"
#include "web/request.h"

namespace kestrin::web {
namespace {

using Cookies = std::vector<std::pair<std::string, std::string>>;

TEST(Routing, DecisionsFollowTheTestOrder) {
  constexpr auto kPass = LoginResult::kPassed;
  constexpr auto kAsk = LoginResult::kAskCredentials;
  struct Case {
    bool connected;
    bool local;
    const char* raw_path;
    std::vector<std::string> params;
    LoginResult login;
    Route want;
  } cases[] = {
      // Static resources, whatever the state.
      {false, false, "/favicon.ico", {}, kAsk, Route::kFavicon},
      {false, false, "/main.css", {"v=2"}, kAsk, Route::kStylesheet},
      {true, true, "/main.css", {}, kAsk, Route::kStylesheet},
      // Not logged in to the server.
      {false, true, "/rules", {}, kAsk, Route::kRedirectHome},
      {false, true, "/main%2Ecss", {}, kAsk, Route::kRedirectHome},
      {false, true, "/", {"img=3"}, kPass, Route::kServerForm},
      {false, false, "/", {"server_ip=1"}, kAsk, Route::kLocalOnly},
      {false, true, "/", {"server_ip=1"}, kAsk, Route::kApplyServerSettings},
      {false, true, "/", {"xserver_ipx"}, kAsk, Route::kApplyServerSettings},
      {false, true, "/", {}, kAsk, Route::kServerForm},
      // Logged in: camera actions need no login, on any path.
      {true, false, "/rules", {"img=3"}, kAsk, Route::kLiveFrame},
      {true, false, "/", {"img="}, kAsk, Route::kChallenge},  // empty "img" is no "img"
      {true, false, "/", {"restartnow=0"}, kAsk, Route::kCameraRestart},
      {true, false, "/", {"IMG=1", "restartnow=1"}, kAsk, Route::kLiveFrame},
      // Everything else needs the login.
      {true, true, "/", {}, kAsk, Route::kChallenge},
      {true, true, "/exit", {}, LoginResult::kFailedAttempt, Route::kChallenge},
      {true, false, "/exit", {}, kPass, Route::kSignOut},
      {true, false, "/getsaveframe/", {"dvs=1"}, kPass, Route::kSavedFrame},
      {true, false, "/demotest", {"ruleid=1"}, kPass, Route::kDemoEvent},
      {true, false, "/demotest", {}, kPass, Route::kRedirectHome},
      {true, false, "/demotest/", {"c_handle=1"}, kPass, Route::kSaveSettings},
      {true, false, "/rules/", {"c_handle=1"}, kPass, Route::kRules},
      {true, false, "/anything", {"c_handle=1"}, kPass, Route::kSaveSettings},
      {true, false, "/", {"c_handle=1"}, kPass, Route::kSaveSettings},
      {true, false, "/", {}, kPass, Route::kStatusPage},
      {true, false, "/main%2Ecss", {}, kPass, Route::kRedirectHome},
      {true, false, "/nothing", {}, kPass, Route::kRedirectHome},
  };
  for (const Case& c : cases) {
    WebRequest request;
    request.params = c.params;
    std::string param_text = request.ParamText();
    std::string decoded = PercentDecode(c.raw_path, false);
    RouteInput input{c.raw_path, decoded, c.connected, c.local, &c.params, param_text, c.login};
    EXPECT_EQ(RouteFor(input), c.want)
        << c.raw_path << " connected=" << c.connected << " local=" << c.local << " "
        << testing::PrintToString(c.params);
  }
}

TEST(Login, CookieDecidesWhetherCredentialsAreExamined) {
  const std::string digest = service::PasswordDigest("secret");
  struct Case {
    const char* name;
    Cookies cookies;
    const char* user;
    const char* password;
    LoginResult want;
  } cases[] = {
      {"first visit", {}, "", "", LoginResult::kAskCredentials},
      {"sign-out cookie", {{"authfd", "0"}}, "admin", "secret", LoginResult::kAskCredentials},
      {"ten characters",
       {{"authfd", "1234567890"}},
       "admin",
       "secret",
       LoginResult::kAskCredentials},
      {"eleven characters", {{"authfd", "12345678901"}}, "admin", "secret", LoginResult::kPassed},
      {"no credentials", {{"authfd", "3883740000000"}}, "", "", LoginResult::kAskCredentials},
      {"no password", {{"authfd", "3883740000000"}}, "admin", "", LoginResult::kAskCredentials},
      {"wrong password",
       {{"authfd", "3883740000000"}},
       "admin",
       "wrong",
       LoginResult::kFailedAttempt},
      {"user in other case",
       {{"authfd", "3883740000000"}},
       "Admin",
       "secret",
       LoginResult::kFailedAttempt},
      {"first authfd counts",
       {{"authfd", "0"}, {"authfd", "3883740000000"}},
       "admin",
       "secret",
       LoginResult::kAskCredentials},
      {"first authfd counts (long)",
       {{"authfd", "3883740000000"}, {"authfd", "0"}},
       "admin",
       "secret",
       LoginResult::kPassed},
      {"cookie name is case-sensitive",
       {{"AUTHFD", "3883740000000"}},
       "admin",
       "secret",
       LoginResult::kAskCredentials},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckLogin(c.cookies, c.user, c.password, "admin", digest), c.want) << c.name;
  }
}

TEST(Login, PasswordDigestUsesTheEightBitText) {
  // The digest of "пароль" is taken over its Windows-1251 bytes.
  const std::string digest = service::Md5Hex("\xEF\xE0\xF0\xEE\xEB\xFC", true);
  EXPECT_EQ(CheckLogin({{"authfd", "3883740000000"}}, "admin", "пароль", "admin", digest),
            LoginResult::kPassed);
}

}  // namespace
}  // namespace kestrin::web
