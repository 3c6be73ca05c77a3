#include "web/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "service/base64.h"
#include "service/digests.h"

namespace kestrin::web {
namespace {

struct HttpReply {
  int status = 0;
  std::string head;
  std::string body;
};

// Sends one request with "Connection: close" and reads the reply to the end.
HttpReply Exchange(const char* host, int port, const std::string& request) {
  HttpReply reply;
  bool v6 = std::string(host).find(':') != std::string::npos;
  int sock = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  sockaddr_storage address{};
  socklen_t length;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, host, &a->sin6_addr);
    length = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, host, &a->sin_addr);
    length = sizeof(*a);
  }
  if (::connect(sock, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    ::close(sock);
    return reply;
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(sock, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += n;
  }
  std::string data;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(sock, buffer, sizeof(buffer), 0)) > 0;) data.append(buffer, n);
  ::close(sock);
  size_t end = data.find("\r\n\r\n");
  if (data.size() < 12 || end == std::string::npos) return reply;
  reply.status = std::stoi(data.substr(9, 3));
  reply.head = data.substr(0, end + 2);
  reply.body = data.substr(end + 4);
  return reply;
}

std::string Request(const std::string& method, const std::string& target,
                    const std::string& body = "", const std::string& extra = "") {
  std::string r =
      method + " " + target + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n" + extra;
  if (!body.empty() || method == "POST") {
    r += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n";
  }
  return r + "\r\n" + body;
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("kestrin-webserver-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    service::ServiceConfig config;
    config.home = home_;
    state_ = std::make_unique<service::ServiceState>(config);
    WebContext context;
    context.state = state_.get();
    server_ = std::make_unique<WebServer>(context);
    ASSERT_TRUE(server_->Start(0));
    port_ = server_->port();
  }
  void TearDown() override {
    server_->Stop();
    std::filesystem::remove_all(home_);
  }

  void LogIn() {
    state_->session().SetCredentials("", "admin", service::PasswordDigest("secret"));
    state_->session().MarkWelcomed(platform::Now(), platform::Now());
  }
  static std::string Credentials() {
    return "Cookie: authfd=3883740000000\r\nAuthorization: Basic " +
           service::Base64Encode("admin:secret") + "\r\n";
  }

  std::filesystem::path home_;
  std::unique_ptr<service::ServiceState> state_;
  std::unique_ptr<WebServer> server_;
  int port_ = 0;
};

TEST_F(WebServerTest, ServesIpv4AndIpv6AndHeadHasNoBody) {
  HttpReply get = Exchange("127.0.0.1", port_, Request("GET", "/main.css?v=2"));
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.body.size(), 576u);
  EXPECT_NE(get.head.find("Content-Type: text/css\r\n"), std::string::npos);

  HttpReply head = Exchange("127.0.0.1", port_, Request("HEAD", "/main.css"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");

  int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (probe >= 0) {
    ::close(probe);
    HttpReply v6 = Exchange("::1", port_, Request("GET", "/favicon.ico"));
    EXPECT_EQ(v6.status, 200);
    EXPECT_NE(v6.head.find("Content-Type: image/png\r\n"), std::string::npos);
  }
}

TEST_F(WebServerTest, ChallengeAndRedirectOnTheWire) {
  HttpReply r = Exchange("127.0.0.1", port_, Request("GET", "/rules"));
  EXPECT_EQ(r.status, 302);
  EXPECT_NE(r.head.find("Location: /\r\n"), std::string::npos);

  LogIn();
  r = Exchange("127.0.0.1", port_, Request("GET", "/"));
  EXPECT_EQ(r.status, 401);
  EXPECT_NE(r.head.find("WWW-Authenticate: Basic realm=\"Access control\"\r\n"), std::string::npos);
  // The cookie carries its name, its value and SameSite=Strict, nothing else.
  size_t at = r.head.find("Set-Cookie: authfd=");
  ASSERT_NE(at, std::string::npos);
  std::string line = r.head.substr(at, r.head.find("\r\n", at) - at);
  EXPECT_EQ(line.size(), std::string("Set-Cookie: authfd=; SameSite=Strict").size() + 13) << line;
  EXPECT_TRUE(line.ends_with("; SameSite=Strict")) << line;
  EXPECT_FALSE(r.body.empty());
}

TEST_F(WebServerTest, LargeFormsPassAndBodiesAboveOneMebibyteAreRefused) {
  LogIn();
  // A form well above 8 KiB is read whole: its last field counts.
  std::string form = "c_handle=1&pad=" + std::string(20000, 'x') + "&rewrite=321";
  HttpReply r = Exchange("127.0.0.1", port_, Request("POST", "/", form, Credentials()));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(state_->archive().Limit(), 321);

  form = "c_handle=1&rewrite=99&pad=" + std::string(kMaxRequestBody, 'x');
  r = Exchange("127.0.0.1", port_, Request("POST", "/", form, Credentials()));
  EXPECT_EQ(r.status, 413);
  EXPECT_EQ(state_->archive().Limit(), 321);
}

TEST_F(WebServerTest, RangeRequestsGetTheWholeBodyOnce) {
  LogIn();
  std::string many = "Range: bytes=0-";
  for (int i = 0; i < 200; ++i) many += ",0-";
  // A picture, a page and a 500 page.
  for (const char* target :
       {"/main.css", "/favicon.ico", "/getsaveframe/?dvs=0012A3B4C5D6&time=20211313000000"}) {
    HttpReply whole = Exchange("127.0.0.1", port_, Request("GET", target, "", Credentials()));
    ASSERT_FALSE(whole.body.empty()) << target;
    for (const std::string& range :
         {many, std::string("Range: bytes=0-9"), std::string("Range: bytes=-5")}) {
      HttpReply r =
          Exchange("127.0.0.1", port_, Request("GET", target, "", Credentials() + range + "\r\n"));
      EXPECT_EQ(r.status, whole.status) << target << " " << range;
      EXPECT_EQ(r.body, whole.body) << target << " " << range;
      EXPECT_EQ(r.head.find("Content-Range"), std::string::npos) << r.head;
      EXPECT_NE(r.head.find("Accept-Ranges: none\r\n"), std::string::npos) << r.head;
    }
  }
}

TEST_F(WebServerTest, UnhandledErrorTextIsEscaped) {
  LogIn();
  HttpReply r =
      Exchange("127.0.0.1", port_,
               Request("GET", "/getsaveframe/?dvs=0012A3B4C5D6&time=%3Ci%3Ex13%3C/i%3Exxxx", "",
                       Credentials()));
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("&lt;i&gt;x13&lt;/i&gt;xxxx"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find('<'), std::string::npos) << r.body;
}

TEST_F(WebServerTest, UnhandledErrorIs500WithItsText) {
  LogIn();
  // The settings file cannot be written: a folder stands in its place.
  std::filesystem::create_directories(home_ / "vs_settings.ini");
  HttpReply r =
      Exchange("127.0.0.1", port_, Request("POST", "/", "c_handle=1&rewrite=5", Credentials()));
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("vs_settings.ini"), std::string::npos) << r.body;
}

TEST_F(WebServerTest, APausedRequestDoesNotHoldUpOthersAndStopCutsItShort) {
  std::atomic<bool> finished = false;
  HttpReply paused;
  std::thread slow([&] {
    // Server connection data: a 10 s pause before the redirect.
    paused = Exchange("127.0.0.1", port_,
                      Request("POST", "/", "server_ip=a&server_login=b&server_pass=c"));
    finished = true;
  });
  // Wait until the slow request has taken effect, so that it is in its pause.
  for (int i = 0; i < 500; ++i) {
    {
      if (state_->session().Snapshot().server_ip == "a") break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  HttpReply quick = Exchange("127.0.0.1", port_, Request("GET", "/main.css"));
  EXPECT_EQ(quick.status, 200);
  EXPECT_FALSE(finished.load());

  server_->Stop();  // ends the pause; the redirect still goes out
  slow.join();
  EXPECT_EQ(paused.status, 302);
}

}  // namespace
}  // namespace kestrin::web
