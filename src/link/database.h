#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "link/database_definition.h"
#include "link/database_soci.h"
#include "service/main_log.h"

namespace kestrin::link {

// How long a connect to the database may take. The database client waits
// minutes for a server that accepts the connection and never answers; the
// service gives up after this and reports the attempt as failed.
inline constexpr std::chrono::milliseconds kConnectLimit{5000};

// A session whose connection is closed quietly when it goes: what it left
// open is committed, or rolled back when the commit fails, and a connection
// that broke meanwhile never ends the process.
struct QuietClose {
  void operator()(soci::session* session) const;
};
using SessionPtr = std::unique_ptr<soci::session, QuietClose>;

// Connects to the database of `parameters`, giving up after `limit`. Returns
// the session, or nullptr with `error` set to the database client's text (or
// to the time-out's). An attempt given up goes on alone on a thread of its own
// and closes its connection should it still succeed. Any thread.
SessionPtr ConnectWithin(const ConnectionParameters& parameters, std::chrono::milliseconds limit,
                         std::string* error);

// On a session of its own to `parameters`: asks whether the rules table
// FB_IPD2 exists and creates it when the answer is not 1. Returns "" on
// success, else the database client's error text. Connects within
// `connect_limit`; the statements run after that. Any thread.
std::string EnsureRulesTable(const ConnectionParameters& parameters,
                             std::chrono::milliseconds connect_limit = kConnectLimit);

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

  soci::session& session() { return *session_; }

  // Disconnects, holding the database lock only for that. Errors of the
  // disconnect are ignored. Safe to call more than once.
  void Close();

 private:
  friend class Database;
  DatabaseConnection(std::mutex& database_lock, SessionPtr session)
      : database_lock_(database_lock), session_(std::move(session)) {}

  std::mutex& database_lock_;
  SessionPtr session_;
  bool open_ = true;
};

// The service's database layer: the connection definition "MyFB_Connection_1"
// (held by the process only, never written anywhere), the check of the rules
// table FB_IPD2, and private connections for every thread that needs the
// database.
//
// Registration is for the main thread only; Open may be called from any
// thread. The database lock serialises connecting and disconnecting: the
// database client is not safe for two threads doing either at once. Every
// connection opened here must be closed or destroyed before the Database.
class Database {
 public:
  // `log` takes the database errors; it must outlive this. Open and SetUp
  // give up a connect after `connect_limit` (the tests allow more: the
  // sanitizer builds start the embedded engine slowly).
  explicit Database(service::ServiceLog& log,
                    std::chrono::milliseconds connect_limit = kConnectLimit)
      : log_(log), connect_limit_(connect_limit) {}
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
  // database lock within the connect limit. On failure returns nullptr and sets
  // `error` to the database client's error text.
  std::unique_ptr<DatabaseConnection> Open(std::string* error);

  // The first half of handling a complete database answer (path, user and
  // password all non-empty), quick and without the network: splits the path
  // (the one-colon drive-letter case takes `connection_host`) and registers
  // the definition. Returns the parameters for EnsureRulesTable and sets
  // `location` to what may be published once the table is checked.
  ConnectionParameters PrepareSetUp(const std::string& path, const std::string& user,
                                    const std::string& password, const std::string& connection_host,
                                    DatabaseLocation& location);

  // The whole handling of a complete database answer, on the calling thread:
  // PrepareSetUp, then EnsureRulesTable; a failure of the check is logged as
  // "DBERROR#2=" and the error text. Returns the location to publish in
  // db_host and db_path; its folder is empty when the rules table could not
  // be checked or created, in which case nothing may be published.
  DatabaseLocation SetUp(const std::string& path, const std::string& user,
                         const std::string& password, const std::string& connection_host);

 private:
  service::ServiceLog& log_;
  const std::chrono::milliseconds connect_limit_;
  std::mutex database_lock_;  // held for one connect or disconnect

  mutable std::mutex definition_mutex_;  // guards definition_ (read by any thread)
  std::optional<ConnectionParameters> definition_;
};

// The text of a database error, as the database client words it.
std::string DatabaseErrorText(const std::exception& error);

}  // namespace kestrin::link
