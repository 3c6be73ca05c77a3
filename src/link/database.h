#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "link/database_definition.h"
#include "link/database_soci.h"
#include "service/service_state.h"

namespace kestrin::link {

// A private connection to the access-control database on the connection
// definition, opened by Database::Open. Belongs to the one thread that opened
// it. Run statements on session(); commit after each statement that writes
// (session().commit()), so that every statement takes effect on its own.
//
// Statements and rowsets made on session() must be destroyed before the
// connection closes: the database client refuses to release them afterwards.
class DatabaseConnection {
 public:
  DatabaseConnection(const DatabaseConnection&) = delete;
  DatabaseConnection& operator=(const DatabaseConnection&) = delete;
  // Closes the connection if it is still open.
  ~DatabaseConnection();

  soci::session& session() { return session_; }

  // Disconnects, holding the database lock only for that. Errors of the
  // disconnect are ignored. Safe to call more than once.
  void Close();

 private:
  friend class Database;
  explicit DatabaseConnection(std::mutex& database_lock) : database_lock_(database_lock) {}

  std::mutex& database_lock_;
  soci::session session_;
  bool open_ = false;
};

// The service's database layer: the connection definition "MyFB_Connection_1"
// (held by the process only, never written anywhere), the setup connection
// that checks and creates the rules table FB_IPD2, and private connections for
// every thread that needs the database.
//
// Registration and the setup connection are for the main thread only; Open
// may be called from any thread.
class Database {
 public:
  // `state` supplies the database lock and the log; it must outlive this.
  explicit Database(service::ServiceState& state) : state_(state) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Registers the definition with `parameters`, replacing the one registered
  // before (there is never more than one), and points the setup connection at
  // it. On failure logs "DBERROR#1=" and the error text and returns false.
  bool RegisterDefinition(const ConnectionParameters& parameters);

  bool conndef_registered() const;
  // The registered definition; nullopt before the first registration.
  std::optional<ConnectionParameters> definition() const;

  // Opens a private connection on the definition, connecting under the
  // database lock. On failure returns nullptr and sets `error` to the
  // database client's error text.
  std::unique_ptr<DatabaseConnection> Open(std::string* error);

  // On the setup connection, given `parameters` directly: connects (without
  // the database lock), asks whether FB_IPD2 exists and creates it when the
  // answer is not 1. On any error logs "DBERROR#2=" and the error text and
  // returns false. The connection stays open until DisconnectSetup.
  bool CheckRulesTable(const ConnectionParameters& parameters);

  // Disconnects the setup connection; errors are ignored.
  void DisconnectSetup();

  // Handles a complete database answer (path, user and password all
  // non-empty): disconnects the setup connection, splits the path (the
  // one-colon drive-letter case takes `connection_host`), registers the
  // definition, checks the rules table and disconnects the setup connection
  // again. Returns the location to publish in db_host and db_path; its folder
  // is empty when the rules table could not be checked or created, in which
  // case nothing may be published.
  DatabaseLocation SetUp(const std::string& path, const std::string& user,
                         const std::string& password, const std::string& connection_host);

 private:
  service::ServiceState& state_;

  mutable std::mutex definition_mutex_;  // guards definition_ (read by any thread)
  std::optional<ConnectionParameters> definition_;

  soci::session setup_;  // main thread only
};

// The text of a database error, as the database client words it.
std::string DatabaseErrorText(const std::exception& error);

}  // namespace kestrin::link
