#include "link/database.h"

#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "link/bounded_call.h"
#include "link/database_statements.h"

namespace kestrin::link {
namespace {

// Connects `session` to the database of `parameters`. Throws soci::soci_error.
void Connect(soci::session& session, const ConnectionParameters& parameters) {
  std::string error;
  auto connect_string = FirebirdConnectString(parameters, &error);
  if (!connect_string) throw soci::soci_error(error);
  session.open(soci::firebird, *connect_string);
}

// What one connect attempt came to, on the attempt's own thread.
struct ConnectOutcome {
  SessionPtr session;
  std::string error;
};

// Ends the transaction a session has open: commits it, as closing would, or
// rolls it back when the commit fails. True when no transaction is left and
// the connection still answers, so that closing it cannot fail.
bool EndTransaction(soci::session& session) {
  try {
    session.commit();
    return true;
  } catch (const std::exception&) {
  }
  try {
    session.rollback();
  } catch (const std::exception&) {
    return false;
  }
  return session.is_connected();
}

// Keeps a session whose connection broke. SOCI's Firebird backend commits and
// detaches in its destructor and throws from there when either fails, which
// ends the process; so such a session is never destroyed. The client's side
// of the connection (its socket) is released here where the client allows
// it; what stays is the session object itself, a few hundred bytes for each
// connection lost with work in flight.
void Abandon(soci::session* session) {
  auto* backend = static_cast<soci::firebird_session_backend*>(session->get_backend());
  ISC_STATUS status[20];
  isc_detach_database(status, &backend->dbhp_);
  static std::mutex mutex;
  static auto* abandoned = new std::vector<soci::session*>;
  std::lock_guard lock(mutex);
  abandoned->push_back(session);
}

}  // namespace

void QuietClose::operator()(soci::session* session) const {
  if (session->get_backend() == nullptr || EndTransaction(*session)) {
    delete session;
  } else {
    Abandon(session);
  }
}

std::string DatabaseErrorText(const std::exception& error) {
  if (auto* soci_error = dynamic_cast<const soci::soci_error*>(&error)) {
    return soci_error->get_error_message();
  }
  return error.what();
}

SessionPtr ConnectWithin(const ConnectionParameters& parameters, std::chrono::milliseconds limit,
                         std::string* error) {
  std::optional<ConnectOutcome> outcome =
      RunWithin<ConnectOutcome>(limit, [parameters]() -> ConnectOutcome {
        ConnectOutcome attempt;
        try {
          SessionPtr session(new soci::session);
          Connect(*session, parameters);
          attempt.session = std::move(session);
        } catch (const std::exception& failure) {
          attempt.error = DatabaseErrorText(failure);
        }
        return attempt;
      });
  if (!outcome) {
    if (error) {
      *error = fmt::format("the database server did not answer within {} s",
                           std::chrono::duration_cast<std::chrono::seconds>(limit).count());
    }
    return nullptr;
  }
  if (!outcome->session && error) *error = outcome->error;
  return std::move(outcome->session);
}

std::string EnsureRulesTable(const ConnectionParameters& parameters,
                             std::chrono::milliseconds connect_limit) {
  std::string error;
  SessionPtr session = ConnectWithin(parameters, connect_limit, &error);
  if (!session) return error;
  try {
    int exists = 0;
    soci::indicator indicator = soci::i_ok;
    *session << sql::kRulesTableExists, soci::into(exists, indicator);
    if (!session->got_data() || indicator != soci::i_ok || exists != 1) {
      *session << sql::kCreateRulesTable;
      session->commit();
    }
  } catch (const std::exception& failure) {
    return DatabaseErrorText(failure);
  }
  return "";
}

DatabaseConnection::~DatabaseConnection() {
  Close();
}

void DatabaseConnection::Close() {
  if (!open_) return;
  open_ = false;
  std::lock_guard lock(database_lock_);
  session_.reset();
}

Database::~Database() = default;

bool Database::RegisterDefinition(const ConnectionParameters& parameters) {
  try {
    std::lock_guard lock(definition_mutex_);
    definition_.reset();
    definition_ = parameters;
  } catch (const std::exception& error) {
    log_.TryLog("DBERROR#1=" + DatabaseErrorText(error));
    return false;
  }
  return true;
}

bool Database::conndef_registered() const {
  std::lock_guard lock(definition_mutex_);
  return definition_.has_value();
}

std::optional<ConnectionParameters> Database::definition() const {
  std::lock_guard lock(definition_mutex_);
  return definition_;
}

std::unique_ptr<DatabaseConnection> Database::Open(std::string* error) {
  auto parameters = definition();
  if (!parameters) {
    if (error)
      *error =
          std::string("connection definition ") + kConnectionDefinitionName + " is not registered";
    return nullptr;
  }
  std::string failure;
  SessionPtr session;
  {
    std::lock_guard lock(database_lock_);
    session = ConnectWithin(*parameters, connect_limit_, &failure);
  }
  if (!session) {
    if (error) *error = failure;
    return nullptr;
  }
  return std::unique_ptr<DatabaseConnection>(
      new DatabaseConnection(database_lock_, std::move(session)));
}

ConnectionParameters Database::PrepareSetUp(const std::string& path, const std::string& user,
                                            const std::string& password,
                                            const std::string& connection_host,
                                            DatabaseLocation& location) {
  location = SplitDatabasePath(path, connection_host);
  ConnectionParameters parameters = MakeConnectionParameters(user, password, location);
  RegisterDefinition(parameters);
  return parameters;
}

DatabaseLocation Database::SetUp(const std::string& path, const std::string& user,
                                 const std::string& password, const std::string& connection_host) {
  DatabaseLocation location;
  ConnectionParameters parameters = PrepareSetUp(path, user, password, connection_host, location);
  std::string error = EnsureRulesTable(parameters, connect_limit_);
  if (!error.empty()) {
    log_.TryLog("DBERROR#2=" + error);
    location.folder.clear();
  }
  return location;
}

}  // namespace kestrin::link
