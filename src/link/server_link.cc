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
                       capture::EventQueue& queue, Database& database, CameraLookup cameras)
    : state_(state),
      loop_(loop),
      queue_(queue),
      database_(database),
      cameras_(std::move(cameras)),
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

  WatchdogSnapshot s;
  {
    std::lock_guard lock(state_.settings_lock);
    s.db_path = state_.db_path;
    s.server_connect = state_.server_connect;
    s.server_ip = state_.server_ip;
    s.server_login = state_.server_login;
    s.server_pass = state_.server_pass;
    s.server_lastping = state_.server_lastping;
  }
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
  {
    std::lock_guard lock(state_.settings_lock);
    state_.server_connect = false;
    state_.server_lastping = platform::Now();
  }
  state_.session_started = platform::NeverMark();
  state_.last_message = platform::NeverMark();
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
  for (int i = 0; i < kCameraCount; ++i) {
    if (capture::TVLCThread* camera = cameras_(i)) camera->SetUrl(addresses[i]);
  }
}

void ServerLink::OnEventClientOpen(transport::TWebSocketCustomConnection& aSender) {
  if (!ws_client.Is(aSender)) return;  // an abandoned connection
  std::string login;
  std::string digest;
  {
    std::lock_guard lock(state_.settings_lock);
    state_.server_lastping = platform::Now();
    login = state_.server_login;
    digest = state_.server_pass;
  }
  aSender.SendText(LoginMessage(login, digest));
}

void ServerLink::OnEventClientRead(transport::TWebSocketCustomConnection& aSender, bool, bool, bool,
                                   bool, int32_t, const std::string& aData) {
  if (!ws_client.Is(aSender)) return;  // an abandoned connection
  std::string text = ReceivedText(aData);
  platform::DateTime arrival = platform::Now();
  state_.last_message = arrival;
  switch (ClassifyMessage(text)) {
    case MessageKind::kEvent: {
      {
        std::lock_guard lock(state_.settings_lock);
        state_.server_lastping = arrival;
      }
      state_.metrics().EventReceived();
      if (!state_.archive_path.Get().empty()) queue_.Put(std::move(text));
      break;
    }
    case MessageKind::kWelcome:
      OnWelcome(aSender, arrival);
      break;
    case MessageKind::kDatabaseAnswer:
      OnDatabaseAnswer(text);
      break;
    case MessageKind::kOther: {
      std::lock_guard lock(state_.settings_lock);
      state_.server_lastping = arrival;
      break;
    }
  }
}

void ServerLink::OnWelcome(transport::TWebSocketCustomConnection& sender,
                           platform::DateTime arrival) {
  state_.session_started = platform::Now();
  std::string ip;
  std::string login;
  std::string digest;
  {
    std::lock_guard lock(state_.settings_lock);
    state_.server_connect = true;
    state_.server_lastping = arrival;
    ip = state_.server_ip;
    login = state_.server_login;
    digest = state_.server_pass;
  }
  // A failed write leaves the handler: the connection then ends without a
  // close report, and the Watchdog finds the session silent later.
  state_.settings().Write("connect", "server", ip);
  state_.settings().Write("connect", "login", login);
  state_.settings().Write("connect", "pass", service::EncipherDigest(digest, state_.sekey));
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
      [this, parameters, location, user = answer.user,
       password = answer.password]() -> std::function<void()> {
        std::string error;
        try {
          error = EnsureRulesTable(parameters);
        } catch (const std::exception& failure) {
          error = DatabaseErrorText(failure);
        }
        return [this, error, location, user, password] {
          FinishSetUp(error, location, user, password);
        };
      },
      [this] { state_.TryLog("DBERROR#2=" + JobTimeoutText()); });
}

void ServerLink::FinishSetUp(const std::string& error, const DatabaseLocation& location,
                             const std::string& user, const std::string& password) {
  if (!error.empty()) {
    state_.TryLog("DBERROR#2=" + error);
    return;
  }
  if (location.folder.empty()) return;
  {
    std::lock_guard lock(state_.settings_lock);
    state_.db_host = location.host;
    state_.db_path = location.folder;
    state_.db_login = user;
    state_.db_pass = password;
  }
  queue_.Put(capture::kUpdateCommand);
}

void ServerLink::OnEventClientClose(transport::TWebSocketCustomConnection& aSender, int32_t,
                                    const std::string&, bool) {
  // The close of an abandoned connection says nothing about the session.
  if (!ws_client.Is(aSender)) return;
  {
    std::lock_guard lock(state_.settings_lock);
    state_.server_connect = false;
  }
  state_.session_started = platform::NeverMark();
  state_.last_message = platform::NeverMark();
}

}  // namespace kestrin::link
