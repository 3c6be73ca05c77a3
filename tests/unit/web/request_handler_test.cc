#include "web/request_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service/digests.h"

namespace kestrin::web {
namespace {

using std::chrono::milliseconds;

// A database connection that records its statements and can fail on one.
struct FakeDatabase {
  struct Statement {
    std::string sql;
    std::vector<SqlParam> params;
  };
  std::vector<Statement> statements;
  std::string open_error;  // non-empty: opening fails with this text
  std::string fail_on;     // a statement text that throws
  int closed = 0;

  class Connection : public DatabaseConnection {
   public:
    explicit Connection(FakeDatabase& db) : db_(db) {}
    ~Connection() override { ++db_.closed; }
    void Execute(const std::string& sql, const std::vector<SqlParam>& params) override {
      if (sql == db_.fail_on) throw std::runtime_error("statement failed: " + sql);
      db_.statements.push_back({sql, params});
    }
    std::vector<SqlRow> Query(const std::string& sql,
                              const std::vector<SqlParam>& params) override {
      Execute(sql, params);
      return {};
    }

   private:
    FakeDatabase& db_;
  };
};

class WebHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("kestrin-web-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_ / "images");
    service::ServiceConfig config;
    config.home = home_;
    state_ = std::make_unique<service::ServiceState>(config);
    state_->archive().SetPath((home_ / "images").string());
    state_->session().SetCredentials("127.0.0.1", "", "");
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  WebHandler MakeHandler() {
    WebContext context;
    context.state = state_.get();
    context.set_watchdog_interval = [this](milliseconds interval) {
      watchdog_intervals_.push_back(interval);
    };
    context.read_camera = [this](int index) -> std::optional<CameraStatus> {
      if (index >= 2) return std::nullopt;  // only workers 0 and 1 exist
      return cameras_[index];
    };
    context.set_camera_url = [this](int index, const std::string& url) {
      camera_urls_.emplace_back(index, url);
    };
    context.open_database = [this](std::string& error) -> std::unique_ptr<DatabaseConnection> {
      if (!db_.open_error.empty()) {
        error = db_.open_error;
        return nullptr;
      }
      return std::make_unique<FakeDatabase::Connection>(db_);
    };
    context.queue_event = [this](std::string item) { queued_.push_back(std::move(item)); };
    context.restart_camera = [this](int index) { restarts_.push_back(index); };
    return WebHandler(context, [this](milliseconds d) { pauses_.push_back(d); });
  }

  void LogIn() {
    state_->session().SetCredentials(Session().server_ip, "admin",
                                     service::PasswordDigest("secret"));
    state_->session().MarkWelcomed(platform::Now(), platform::Now());
  }
  service::SessionSnapshot Session() const { return state_->session().Snapshot(); }

  // A request from another machine with a valid sign-in.
  WebRequest Authorized(std::string path, std::vector<std::string> params = {}) {
    WebRequest request;
    request.raw_path = request.decoded_path = std::move(path);
    request.params = std::move(params);
    request.cookies = {{"authfd", "3883740000000"}};
    request.basic_user = "admin";
    request.basic_password = "secret";
    request.peer_address = "10.0.0.9";
    request.local_address = "10.0.0.1";
    return request;
  }

  std::string Settings() {
    std::ifstream in(home_ / "vs_settings.ini", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // True when the settings file holds exactly this line.
  bool SettingsLine(const std::string& line) {
    std::istringstream in(Settings());
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      if (l == line) return true;
    }
    return false;
  }

  std::filesystem::path home_;
  std::unique_ptr<service::ServiceState> state_;
  std::vector<milliseconds> watchdog_intervals_;
  std::vector<milliseconds> pauses_;
  CameraStatus cameras_[2];
  std::vector<std::pair<int, std::string>> camera_urls_;
  std::vector<std::string> queued_;
  std::vector<int> restarts_;
  FakeDatabase db_;
};

std::string Cookie(const WebResponse& r, const std::string& name) {
  for (const auto& [n, v] : r.cookies) {
    if (n == name) return v;
  }
  return "<none>";
}

TEST_F(WebHandlerTest, LoginChallengeCookiesAndPauses) {
  LogIn();
  WebHandler handler = MakeHandler();

  // First visit: a 13-digit cookie and a challenge at once.
  WebRequest request = Authorized("/");
  request.cookies.clear();
  WebResponse r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.realm, "Access control");
  EXPECT_EQ(Cookie(r, "authfd").size(), 13u);
  EXPECT_TRUE(pauses_.empty());

  // Correct credentials with the sign-out cookie: a new cookie, no pause.
  request.cookies = {{"authfd", "0"}};
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(Cookie(r, "authfd").size(), 13u);
  EXPECT_TRUE(pauses_.empty());

  // Wrong password: 3 s pause, challenge, no cookie.
  request = Authorized("/");
  request.basic_password = "wrong";
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 401);
  EXPECT_TRUE(r.cookies.empty());
  EXPECT_EQ(pauses_, std::vector<milliseconds>{milliseconds(3000)});

  // Correct credentials: the status page.
  r = handler.IdHTTPServer1CommandGet(Authorized("/"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/html; charset=utf-8");
  EXPECT_NE(r.body.find("<h3>Видеосервер "), std::string::npos);

  // Sign-out.
  r = handler.IdHTTPServer1CommandGet(Authorized("/exit"));
  EXPECT_EQ(Cookie(r, "authfd"), "0");
  EXPECT_NE(r.body.find("<body><p>Сеанс завершен</p></body>"), std::string::npos);
}

TEST_F(WebHandlerTest, StatusPageShowsExistingWorkersAndEmptyBlocksForTheRest) {
  LogIn();
  cameras_[0].active = true;
  cameras_[0].url = "udp://@:5000";
  cameras_[0].v_width = 320;
  cameras_[0].v_height = 240;
  cameras_[1].url = "http://other/<b>";
  WebResponse r = MakeHandler().IdHTTPServer1CommandGet(Authorized("/"));
  EXPECT_NE(r.body.find("value=\"udp://@:5000\"><br>Размер: 320x240"), std::string::npos);
  EXPECT_NE(r.body.find("value=\"http://other/&lt;b&gt;\"><br></td>"), std::string::npos);
  EXPECT_NE(r.body.find("id=\"url9\" value=\"\"><br></td>"), std::string::npos);
  // The archive folder is real, so its free space is shown.
  EXPECT_NE(r.body.find(" MB свободно на диске "), std::string::npos);
}

TEST_F(WebHandlerTest, ServerConnectionFormOnlyForTheLocalMachine) {
  WebHandler handler = MakeHandler();
  WebRequest request;
  request.raw_path = request.decoded_path = "/";
  request.peer_address = "10.0.0.9";
  request.local_address = "10.0.0.1";
  WebResponse r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_NE(r.body.find("<body><p>Доступ разрешен только с локального компьютера</p>"),
            std::string::npos);

  request.peer_address = "::ffff:10.0.0.1";
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_NE(r.body.find("name=\"server_ip\" id=\"server_ip\" value=\"127.0.0.1\""),
            std::string::npos);
}

TEST_F(WebHandlerTest, ApplyingServerConnectionData) {
  WebHandler handler = MakeHandler();
  WebRequest request;
  request.raw_path = request.decoded_path = "/";
  request.peer_address = request.local_address = "127.0.0.1";

  // A field missing: nothing changes, still the 10 s pause and the redirect.
  request.params = {"server_ip=10.0.0.5", "server_login=admin", "server_pass="};
  WebResponse r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.location, "/");
  EXPECT_EQ(pauses_, std::vector<milliseconds>{milliseconds(10000)});
  EXPECT_TRUE(watchdog_intervals_.empty());
  EXPECT_EQ(Session().server_ip, "127.0.0.1");
  EXPECT_EQ(Session().server_pass, "");

  request.params = {"server_ip=10.0.0.5", "server_login=admin", "server_pass=пароль"};
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(Session().server_ip, "10.0.0.5");
  EXPECT_EQ(Session().server_login, "admin");
  EXPECT_EQ(Session().server_pass, service::Md5Hex("\xEF\xE0\xF0\xEE\xEB\xFC", true));
  EXPECT_EQ(watchdog_intervals_, std::vector<milliseconds>{milliseconds(100)});
  EXPECT_EQ(pauses_.size(), 2u);
  // Only in memory: the connect section is written after the server's welcome.
  EXPECT_EQ(Settings().find("[connect]"), std::string::npos);
}

TEST_F(WebHandlerTest, SavingSettingsWritesArchiveAndCameras) {
  LogIn();
  state_->session().SetDatabase("/db");
  std::filesystem::create_directories(home_ / "new photos");
  WebResponse r = MakeHandler().IdHTTPServer1CommandGet(
      Authorized("/anything", {"apath=" + (home_ / "new photos").string() + "/", "rewrite=250",
                               "url1=udp://@:1234", "url3=http://cam/x", "c_handle=1"}));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.location, "/");
  EXPECT_EQ(state_->archive().Path(), (home_ / "new photos").string());
  EXPECT_EQ(state_->archive().Limit(), 250);
  EXPECT_TRUE(SettingsLine("arch=" + (home_ / "new photos").string()));
  EXPECT_TRUE(SettingsLine("archlimit=250"));

  // Nine deletes, an insert after each non-empty address, every worker told.
  std::vector<std::string> sql;
  for (const auto& s : db_.statements) sql.push_back(s.sql);
  EXPECT_EQ(sql,
            (std::vector<std::string>{
                "DELETE FROM FB_IPC WHERE ID=1", "INSERT INTO FB_IPC (ID,URL) VALUES (:id,:url)",
                "DELETE FROM FB_IPC WHERE ID=2", "DELETE FROM FB_IPC WHERE ID=3",
                "INSERT INTO FB_IPC (ID,URL) VALUES (:id,:url)", "DELETE FROM FB_IPC WHERE ID=4",
                "DELETE FROM FB_IPC WHERE ID=5", "DELETE FROM FB_IPC WHERE ID=6",
                "DELETE FROM FB_IPC WHERE ID=7", "DELETE FROM FB_IPC WHERE ID=8",
                "DELETE FROM FB_IPC WHERE ID=9"}));
  const auto& insert = db_.statements[4].params;
  ASSERT_EQ(insert.size(), 2u);
  EXPECT_EQ(insert[0].name, "id");
  EXPECT_EQ(std::get<int64_t>(insert[0].value), 3);
  EXPECT_EQ(insert[1].name, "url");
  EXPECT_EQ(std::get<std::string>(insert[1].value), "http://cam/x");
  ASSERT_EQ(camera_urls_.size(), 9u);
  EXPECT_EQ(camera_urls_[0], (std::pair<int, std::string>{0, "udp://@:1234"}));
  EXPECT_EQ(camera_urls_[1], (std::pair<int, std::string>{1, ""}));
  EXPECT_EQ(camera_urls_[2], (std::pair<int, std::string>{2, "http://cam/x"}));
  EXPECT_EQ(db_.closed, 1);
}

TEST_F(WebHandlerTest, SavingSettingsEdgeCases) {
  LogIn();
  const std::string images = (home_ / "images").string();
  WebHandler handler = MakeHandler();

  // Letters in the limit store 0; a missing folder is ignored; without a
  // database the addresses are ignored.
  state_->archive().SetLimit(7);
  WebResponse r = handler.IdHTTPServer1CommandGet(
      Authorized("/", {"rewrite=abc", "apath=/no/such/folder", "url1=x", "c_handle=1"}));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(state_->archive().Limit(), 0);
  EXPECT_TRUE(SettingsLine("archlimit=0"));
  EXPECT_EQ(state_->archive().Path(), images);
  EXPECT_TRUE(db_.statements.empty());
  EXPECT_TRUE(camera_urls_.empty());

  // A negative limit is stored; an unchanged limit is not written again.
  handler.IdHTTPServer1CommandGet(Authorized("/", {"rewrite=-5", "c_handle=1"}));
  EXPECT_EQ(state_->archive().Limit(), -5);
  std::filesystem::remove(home_ / "vs_settings.ini");
  handler.IdHTTPServer1CommandGet(Authorized("/", {"rewrite=-5", "c_handle=1"}));
  EXPECT_FALSE(std::filesystem::exists(home_ / "vs_settings.ini"));

  // The database cannot be opened: the error page, escaped; the folder change stays.
  state_->session().SetDatabase("/db");
  db_.open_error = "unavailable <host>";
  std::filesystem::create_directories(home_ / "other");
  r = handler.IdHTTPServer1CommandGet(
      Authorized("/", {"apath=" + (home_ / "other").string(), "c_handle=1"}));
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(
      r.body.find(
          "<body><p><strong>Ошибка подключения к БД: unavailable &lt;host&gt;</strong></p></body>"),
      std::string::npos);
  EXPECT_EQ(r.body.find("Главная"), std::string::npos);  // no menu line
  EXPECT_EQ(state_->archive().Path(), (home_ / "other").string());

  // A failing statement propagates (the server answers 500); the cameras
  // before it are already updated and the connection is closed.
  db_.open_error.clear();
  db_.fail_on = "DELETE FROM FB_IPC WHERE ID=3";
  EXPECT_THROW(handler.IdHTTPServer1CommandGet(Authorized("/", {"url1=a", "url2=b", "c_handle=1"})),
               std::runtime_error);
  EXPECT_EQ(camera_urls_.size(), 2u);
  EXPECT_EQ(db_.closed, 1);
}

TEST_F(WebHandlerTest, StaticResourcesAndRedirectsBeforeWelcome) {
  WebHandler handler = MakeHandler();
  WebRequest request;
  request.peer_address = "10.0.0.9";
  request.local_address = "10.0.0.1";
  request.raw_path = request.decoded_path = "/main.css";
  WebResponse r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.content_type, "text/css");
  EXPECT_EQ(r.body.size(), 576u);

  request.raw_path = request.decoded_path = "/favicon.ico";
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.content_type, "image/png");

  request.raw_path = "/main%2Ecss";
  request.decoded_path = "/main.css";
  r = handler.IdHTTPServer1CommandGet(request);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.location, "/");
}

}  // namespace
}  // namespace kestrin::web

namespace kestrin::web {
namespace {

TEST_F(WebHandlerTest, ChangesComeOnlyFromTheServicesOwnPages) {
  struct Change {
    const char* name;
    bool logged_in;
    std::string path;
    std::vector<std::string> params;
  } changes[] = {
      {"settings form", true, "/", {"rewrite=77", "c_handle=1"}},
      {"settings form elsewhere", true, "/x", {"c_handle=1", "apath=/tmp"}},
      {"rule delete", true, "/rules/", {"delrule=1638000000000"}},
      {"rule save", true, "/rules", {"dvs=0012A3B4C5D61", "event=1", "cam=1", "s_handle=1"}},
      {"demo event", true, "/demotest/", {"ruleid=1638000000000"}},
      {"server connection", false, "/", {"server_ip=a", "server_login=b", "server_pass=c"}},
  };
  struct Source {
    const char* fetch_site;
    const char* origin;
    const char* referer;
  } foreign[] = {
      {"cross-site", "", ""},
      {"same-site", "", ""},  // another port or host name of the same site
      {"", "http://127.0.0.1:9999", ""},
      {"", "null", ""},
      {"", "", "http://localhost:8035/"},
  };
  for (const Change& change : changes) {
    for (const Source& source : foreign) {
      LogIn();
      if (!change.logged_in) state_->session().MarkEnded();
      state_->session().SetDatabase("/db");
      state_->archive().SetLimit(5);
      WebHandler handler = MakeHandler();
      WebRequest request = Authorized(change.path, change.params);
      if (!change.logged_in) request.peer_address = request.local_address = "127.0.0.1";
      request.fetch_site = source.fetch_site;
      request.origin = source.origin;
      request.referer = source.referer;
      request.host = "127.0.0.1:8035";
      WebResponse r = handler.IdHTTPServer1CommandGet(request);
      const std::string what = std::string(change.name) + " from '" + source.fetch_site +
                               source.origin + source.referer + "'";
      EXPECT_EQ(r.status, 403) << what;
      EXPECT_EQ(r.body, "ошибка") << what;
      EXPECT_TRUE(db_.statements.empty() && camera_urls_.empty() && queued_.empty() &&
                  pauses_.empty() && watchdog_intervals_.empty())
          << what;
      EXPECT_EQ(state_->archive().Limit(), 5) << what;
      EXPECT_EQ(Session().server_ip, "127.0.0.1") << what;
    }
  }
}

TEST_F(WebHandlerTest, OwnPagesChangeAndForeignPagesStillView) {
  LogIn();
  state_->session().SetDatabase("/db");
  WebHandler handler = MakeHandler();
  struct Source {
    const char* fetch_site;
    const char* origin;
  } own[] = {{"same-origin", ""}, {"none", ""}, {"", "http://127.0.0.1:8035"}, {"", ""}};
  for (const Source& source : own) {
    WebRequest request = Authorized("/", {"url1=rtsp://cam", "c_handle=1"});
    request.fetch_site = source.fetch_site;
    request.origin = source.origin;
    request.host = "127.0.0.1:8035";
    camera_urls_.clear();
    WebResponse r = handler.IdHTTPServer1CommandGet(request);
    EXPECT_EQ(r.status, 302) << source.fetch_site << source.origin;
    EXPECT_EQ(camera_urls_.size(), 9u) << source.fetch_site << source.origin;
  }

  // Pages that change nothing are served whoever links to them.
  for (auto [path, params] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"/", {}}, {"/rules", {"editrule=1638000000000"}}, {"/getsaveframe", {"dvs=1"}}}) {
    WebRequest request = Authorized(path, params);
    request.fetch_site = "same-site";
    EXPECT_NE(handler.IdHTTPServer1CommandGet(request).status, 403) << path;
  }
}

TEST_F(WebHandlerTest, EachCameraRestartsAtMostOnceInFiveSeconds) {
  LogIn();
  WebHandler handler = MakeHandler();
  auto restart = [&](const std::string& value) {
    WebRequest request;
    request.raw_path = request.decoded_path = "/";
    request.params = {"restartnow=" + value};
    return handler.IdHTTPServer1CommandGet(request);
  };
  for (int i = 0; i < 20; ++i) {
    WebResponse r = restart("1");
    EXPECT_EQ(r.body, "restart");  // every request is answered alike
    EXPECT_EQ(r.content_type, "text/html; charset=utf-8");
  }
  EXPECT_EQ(restart("3").body, "restart");
  EXPECT_EQ(restart("3").body, "restart");
  EXPECT_EQ(restart("0").body, "");
  EXPECT_EQ(restart("10").body, "");
  EXPECT_EQ(restarts_, (std::vector<int>{0, 2}));
}

}  // namespace
}  // namespace kestrin::web
