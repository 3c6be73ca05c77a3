// The server link's session handlers with a raw server of the test's own:
// only the current connection's events change the session. An event of a
// connection that has been replaced (one handed to the main loop just before
// the replacement) changes nothing.

#include "link/server_link.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../transport/transport_test_support.h"
#include "database_test_support.h"
#include "link/session_messages.h"

namespace kestrin::link {
namespace {

using namespace std::chrono_literals;
using transport::testing::GoodResponse;
using transport::testing::LoopThread;
using transport::testing::RawPeer;
using transport::testing::RawServer;
using transport::testing::ServerFrame;

constexpr const char* kEvent =
    R"({"type":"event","version":1,"time":"2031-01-01T00:00:00","dvs":"1","ror":"1",)"
    R"("ev1":"2","ev2":"4","key":"0","id":"1"})";
constexpr const char* kWelcome = R"({"answer":"welcome","user":"admin"})";

class ServerLinkTest : public ::testing::Test {
 protected:
  ServerLinkTest()
      : state_(Config()),
        database_(state_.log()),
        link_(std::make_unique<ServerLink>(state_, loop_.loop(), queue_, database_,
                                           [](int, const std::string&) {})) {
    state_.archive().SetPath(folder_.path().string());
    state_.session().SetCredentials("127.0.0.1", "admin", "5EBE2294ECD0E0F08EAB7690D2A6EE69");
  }
  ~ServerLinkTest() override { link_.reset(); }

  service::ServiceConfig Config() {
    service::ServiceConfig config;
    config.home = folder_.path();
    config.server_port = std::stoi(server_.Port());
    return config;
  }

  // Lets a tick open the connection and plays the server up to the welcome.
  void LogIn() {
    loop_.Run([&] { link_->WatchdogTimer(); });
    peer_ = server_.Accept();
    ASSERT_TRUE(peer_);
    std::optional<std::string> head = peer_->ReadHead();
    ASSERT_TRUE(head);
    peer_->Send(GoodResponse(*head));
    std::optional<transport::testing::WireFrame> login = peer_->ReadFrame();
    ASSERT_TRUE(login);
    EXPECT_NE(login->payload.find(R"("command":"login")"), std::string::npos);
    peer_->Send(ServerFrame(0x81, kWelcome));
    std::optional<transport::testing::WireFrame> request = peer_->ReadFrame();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload, kDatabaseRequest);
    ASSERT_TRUE(Connected());
  }

  bool Connected() { return state_.session().Snapshot().server_connect; }
  platform::DateTime LastPing() { return state_.session().Snapshot().server_lastping; }
  void SetLastPing(platform::DateTime at) { state_.session().MarkPing(at); }
  // Waits until `done` holds, looking every few milliseconds.
  static bool Eventually(const std::function<bool()>& done) {
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(5ms)) {
      if (done()) return true;
    }
    return done();
  }

  testing::TempFolder folder_;
  RawServer server_;
  LoopThread loop_;
  service::ServiceState state_;
  capture::EventQueue queue_;
  Database database_;
  std::unique_ptr<ServerLink> link_;
  std::optional<RawPeer> peer_;
};

TEST_F(ServerLinkTest, EventsOfAConnectionOtherThanTheCurrentOneChangeNothing) {
  LogIn();
  // Stands for a connection the link has replaced: not the current one.
  std::shared_ptr<transport::TWebSocketClientConnection> stale =
      transport::TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", server_.Port(), "/",
                                                    "-", "-", "-", "-", 13);
  const platform::DateTime mark = platform::MakeLocalDateTime(2030, 1, 1);
  struct Case {
    const char* name;
    std::function<void(transport::TWebSocketCustomConnection&)> deliver;
  };
  const std::vector<Case> cases = {
      {"close by the peer", [&](auto& c) { link_->OnEventClientClose(c, 1000, "", true); }},
      {"close by error", [&](auto& c) { link_->OnEventClientClose(c, 1006, "", false); }},
      {"event",
       [&](auto& c) { link_->OnEventClientRead(c, true, false, false, false, 1, kEvent); }},
      {"welcome",
       [&](auto& c) { link_->OnEventClientRead(c, true, false, false, false, 1, kWelcome); }},
      {"sign of life",
       [&](auto& c) { link_->OnEventClientRead(c, true, false, false, false, 1, "{}"); }},
      {"open", [&](auto& c) { link_->OnEventClientOpen(c); }},
  };
  for (const Case& c : cases) {
    SetLastPing(mark);
    loop_.Run([&] { c.deliver(*stale); });
    EXPECT_TRUE(Connected()) << c.name;
    EXPECT_EQ(LastPing(), mark) << c.name;
    EXPECT_EQ(queue_.size(), 0u) << c.name;
  }

  // The current connection's events still count.
  peer_->Send(ServerFrame(0x81, kEvent));
  EXPECT_TRUE(Eventually([&] { return queue_.size() == 1; }));
  EXPECT_NE(LastPing(), mark);
  peer_->Send(ServerFrame(0x88, std::string("\x03\xe8", 2)));
  EXPECT_TRUE(Eventually([&] { return !Connected(); }));
}

}  // namespace
}  // namespace kestrin::link
