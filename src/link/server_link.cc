#include "link/server_link.h"

#include <algorithm>

#include "link/database_rules.h"
#include "link/database_statements.h"
#include "link/session_messages.h"
#include "link/watchdog_decision.h"
#include "platform/codepage.h"
#include "service/password_cipher.h"

namespace kestrin::link {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstTick{100};
constexpr milliseconds kTickInterval{5000};
constexpr milliseconds kDisableWait{5000};
// One piece of database work: the connect's own limit and a few seconds for
// the statements.
constexpr milliseconds kDatabaseJobLimit = kConnectLimit + milliseconds(5000);

constexpr const char* kCameraJob = "camera refresh";
constexpr const char* kSetUpJob = "database set-up";

// The time-out's text, as the log shows it after "DBERROR#2=".
std::string JobTimeoutText() {
  return "the database server did not answer within " +
         std::to_string(kDatabaseJobLimit.count() / 1000) + " s";
}

}  // namespace

ServerLink::ServerLink(service::ServiceState& state, platform::MainLoop& loop,
                       capture::EventQueue& queue, Database& database, SetCameraUrl set_camera_url)
    : state_(state),
      loop_(loop),
      queue_(queue),
      database_(database),
      set_camera_url_(std::move(set_camera_url)),
      watchdog_(loop, kFirstTick, [this] { WatchdogTimer(); }),
      worker_(loop, kDatabaseJobLimit) {}

ServerLink::~ServerLink() {
  if (!disabled_ && !loop_.InMainThread()) Disable();
}

void ServerLink::Enable() {
  watchdog_.SetEnabled(true);
}

void ServerLink::SetWatchdogInterval(milliseconds interval) {
  watchdog_.SetInterval(interval);
}

void ServerLink::Disable() {
  disabled_ = true;
  watchdog_.SetEnabled(false);
  // No database result is handed to the main loop after this; those handed
  // over already run before the call below.
  worker_.Stop();
  std::vector<transport::ConnectionHandle> connections;
  try {
    loop_.CallSynchronized([this, &connections] {
      ws_client.Close(1000, "bye");
      connections = connections_;
      for (const transport::ConnectionHandle& c : connections) c.Close(1000, "bye");
    });
  } catch (const platform::MainLoopStopped&) {
    connections = connections_;
  }
  for (const transport::ConnectionHandle& c : connections) c.WaitEnded(kDisableWait);
}

void ServerLink::WatchdogTimer() {
  if (watchdog_.Interval() < kTickInterval) watchdog_.SetInterval(kTickInterval);

  const service::SessionSnapshot s = state_.session().Snapshot();
  switch (DecideWatchdog(s, platform::Now())) {
    case WatchdogAction::kNothing:
      break;
    case WatchdogAction::kConnect:
      Connect(s.server_ip);
      break;
    case WatchdogAction::kCloseSilent:
      CloseSilentSession();
      break;
    case WatchdogAction::kRequestDatabase:
      try {
        ws_client.SendText(kDatabaseRequest);
      } catch (const std::exception&) {
      }
      break;
    case WatchdogAction::kRefreshCameras:
      RefreshCameras();
      break;
  }
}

void ServerLink::Connect(const std::string& host) {
  try {
    // One attempt at a time: the one before, refused, stuck in its handshake
    // or still connecting, is closed and says nothing more.
    ws_client.Abandon();
    ws_client.Reset();
    // Forget the connections that have ended; the others stay known until
    // they end, so that Disable can wait for them.
    connections_.erase(
        std::remove_if(connections_.begin(), connections_.end(),
                       [](const transport::ConnectionHandle& c) { return !c.Alive(); }),
        connections_.end());
    state_.metrics().LinkConnecting();
    auto connection = transport::TWebSocketClientConnection::Create(
        loop_, host, std::to_string(state_.config().server_port), "/", "-", "-", "-", "-", 13);
    connection->SetOnRead([this](transport::TWebSocketCustomConnection& sender, bool final,
                                 bool res1, bool res2, bool res3, int32_t code,
                                 const std::string& data) {
      OnEventClientRead(sender, final, res1, res2, res3, code, data);
    });
    connection->SetOnClose([this](transport::TWebSocketCustomConnection& sender, int32_t code,
                                  const std::string& reason, bool by_peer) {
      OnEventClientClose(sender, code, reason, by_peer);
    });
    connection->SetOnOpen(
        [this](transport::TWebSocketCustomConnection& sender) { OnEventClientOpen(sender); });
    connection->Start();
    ws_client = transport::ConnectionHandle(connection);
    connection_host_ = host;
    connections_.push_back(ws_client);
  } catch (const std::exception&) {
    // The next tick tries again.
  }
}

void ServerLink::CloseSilentSession() {
  try {
    ws_client.Close(1000, "bye");
  } catch (const std::exception&) {
  }
  // The next attempt waits its usual quiet spell from now.
  state_.session().MarkEnded(platform::Now());
}

void ServerLink::RefreshCameras() {
  std::optional<ConnectionParameters> parameters = database_.definition();
  if (!parameters) return;
  // Refused while the previous refresh is still on its way: a database that
  // does not answer costs one attempt at a time. Failures change nothing.
  worker_.Submit(
      kCameraJob,
      [this, parameters = *parameters]() -> std::function<void()> {
        std::vector<CameraRow> rows;
        try {
          SessionPtr session = ConnectWithin(parameters, kConnectLimit, nullptr);
          if (!session) return nullptr;
          soci::rowset<soci::row> result = session->prepare << sql::kSelectCameras;
          for (const soci::row& row : result) {
            rows.push_back({static_cast<int>(ColumnInteger(row, 0)),
                            platform::Cp1251ToUtf8(ColumnText(row, 1))});
          }
        } catch (const std::exception&) {
          return nullptr;
        }
        return [this, addresses = CameraAddresses(rows)] { ApplyCameraAddresses(addresses); };
      },
      nullptr);
}

void ServerLink::ApplyCameraAddresses(const std::array<std::string, kCameraCount>& addresses) {
  for (int i = 0; i < kCameraCount; ++i) set_camera_url_(i, addresses[i]);
}

void ServerLink::OnEventClientOpen(transport::TWebSocketCustomConnection& aSender) {
  if (!ws_client.Is(aSender)) return;  // an abandoned connection
  const service::SessionSnapshot s = state_.session().MarkPing(platform::Now());
  aSender.SendText(LoginMessage(s.server_login, s.server_pass));
}

void ServerLink::OnEventClientRead(transport::TWebSocketCustomConnection& aSender, bool, bool, bool,
                                   bool, int32_t, const std::string& aData) {
  if (!ws_client.Is(aSender)) return;  // an abandoned connection
  std::string text = ReceivedText(aData);
  platform::DateTime arrival = platform::Now();
  const MessageKind kind = ClassifyMessage(text);
  // A welcome marks the sign of life with the login, a database answer not
  // at all.
  state_.session().MarkMessage(arrival, kind == MessageKind::kEvent || kind == MessageKind::kOther);
  switch (kind) {
    case MessageKind::kEvent:
      state_.metrics().EventReceived();
      if (!state_.archive().Path().empty()) queue_.Put(std::move(text));
      break;
    case MessageKind::kWelcome:
      OnWelcome(aSender, arrival);
      break;
    case MessageKind::kDatabaseAnswer:
      OnDatabaseAnswer(text);
      break;
    case MessageKind::kOther:
      break;
  }
}

void ServerLink::OnWelcome(transport::TWebSocketCustomConnection& sender,
                           platform::DateTime arrival) {
  const service::SessionSnapshot s = state_.session().MarkWelcomed(arrival, platform::Now());
  // A failed write leaves the handler: the connection then ends without a
  // close report, and the Watchdog finds the session silent later.
  state_.settings().Write("connect", "server", s.server_ip);
  state_.settings().Write("connect", "login", s.server_login);
  state_.settings().Write("connect", "pass", service::EncipherDigest(s.server_pass, state_.sekey));
  try {
    sender.SendText(kDatabaseRequest);
  } catch (const std::exception&) {
    state_.TryLog("getdb error");
  }
}

void ServerLink::OnDatabaseAnswer(const std::string& text) {
  DatabaseAnswer answer = ParseDatabaseAnswer(text);
  if (!answer.Complete()) return;
  // While a set-up is on its way, later answers wait for its outcome; the
  // Watchdog asks again as long as the database is not known.
  if (worker_.Busy(kSetUpJob)) return;
  DatabaseLocation location;
  ConnectionParameters parameters =
      database_.PrepareSetUp(answer.path, answer.user, answer.password, connection_host_, location);
  worker_.Submit(
      kSetUpJob,
      [this, parameters, location]() -> std::function<void()> {
        std::string error;
        try {
          error = EnsureRulesTable(parameters);
        } catch (const std::exception& failure) {
          error = DatabaseErrorText(failure);
        }
        return [this, error, location] { FinishSetUp(error, location); };
      },
      [this] { state_.TryLog("DBERROR#2=" + JobTimeoutText()); });
}

void ServerLink::FinishSetUp(const std::string& error, const DatabaseLocation& location) {
  if (!error.empty()) {
    state_.TryLog("DBERROR#2=" + error);
    return;
  }
  if (location.folder.empty()) return;
  state_.session().SetDatabase(location.folder);
  queue_.Put(capture::kUpdateCommand);
}

void ServerLink::OnEventClientClose(transport::TWebSocketCustomConnection& aSender, int32_t,
                                    const std::string&, bool) {
  // The close of an abandoned connection says nothing about the session.
  if (!ws_client.Is(aSender)) return;
  state_.session().MarkEnded();
}

}  // namespace kestrin::link
