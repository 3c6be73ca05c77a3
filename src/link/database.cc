#include "link/database.h"

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

void DisconnectQuietly(soci::session& session) {
  try {
    session.close();
  } catch (const std::exception&) {
    // A connection that cannot even be closed is gone anyway.
  }
}

}  // namespace

std::string DatabaseErrorText(const std::exception& error) {
  if (auto* soci_error = dynamic_cast<const soci::soci_error*>(&error)) {
    return soci_error->get_error_message();
  }
  return error.what();
}

DatabaseConnection::~DatabaseConnection() {
  Close();
}

void DatabaseConnection::Close() {
  if (!open_) return;
  open_ = false;
  std::lock_guard lock(database_lock_);
  DisconnectQuietly(session_);
}

Database::~Database() {
  DisconnectSetup();
}

bool Database::RegisterDefinition(const ConnectionParameters& parameters) {
  try {
    std::lock_guard lock(definition_mutex_);
    definition_.reset();
    definition_ = parameters;
  } catch (const std::exception& error) {
    state_.TryLog("DBERROR#1=" + DatabaseErrorText(error));
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
  std::unique_ptr<DatabaseConnection> connection(new DatabaseConnection(state_.database_lock));
  try {
    std::lock_guard lock(state_.database_lock);
    Connect(connection->session_, *parameters);
    connection->open_ = true;
  } catch (const std::exception& failure) {
    if (error) *error = DatabaseErrorText(failure);
    return nullptr;
  }
  return connection;
}

bool Database::CheckRulesTable(const ConnectionParameters& parameters) {
  DisconnectSetup();
  try {
    Connect(setup_, parameters);
    int exists = 0;
    soci::indicator indicator = soci::i_ok;
    setup_ << sql::kRulesTableExists, soci::into(exists, indicator);
    if (!setup_.got_data() || indicator != soci::i_ok || exists != 1) {
      setup_ << sql::kCreateRulesTable;
      setup_.commit();
    }
    return true;
  } catch (const std::exception& error) {
    state_.TryLog("DBERROR#2=" + DatabaseErrorText(error));
    return false;
  }
}

void Database::DisconnectSetup() {
  DisconnectQuietly(setup_);
}

DatabaseLocation Database::SetUp(const std::string& path, const std::string& user,
                                 const std::string& password, const std::string& connection_host) {
  DisconnectSetup();
  DatabaseLocation location = SplitDatabasePath(path, connection_host);
  ConnectionParameters parameters = MakeConnectionParameters(user, password, location);
  RegisterDefinition(parameters);
  if (!CheckRulesTable(parameters)) location.folder.clear();
  DisconnectSetup();
  return location;
}

}  // namespace kestrin::link
