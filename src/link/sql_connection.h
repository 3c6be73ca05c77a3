#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrin::link {

// A named statement parameter (":id" is bound as "id").
struct SqlParam {
  std::string name;
  std::variant<int64_t, std::string> value;
};

// One result row, every cell as UTF-8 text (numbers in decimal); a null cell
// is nothing.
using SqlRow = std::vector<std::optional<std::string>>;

// A private database connection of one caller (a web request), opened on the
// service's connection definition. Destroying it closes it under the database
// lock. Statements are the ones of database_statements.h.
class SqlConnection {
 public:
  virtual ~SqlConnection() = default;

  // Runs a statement that returns no rows and commits it. Throws
  // std::runtime_error with the database's message when it fails.
  virtual void Execute(const std::string& sql, const std::vector<SqlParam>& params) = 0;

  // Runs a query and returns its rows. Throws like Execute.
  virtual std::vector<SqlRow> Query(const std::string& sql,
                                    const std::vector<SqlParam>& params) = 0;
};

// Replaces the address of camera `number` (1..9) in the camera table: the
// camera's row is deleted, and a new one inserted when `url` is not empty.
// Throws like SqlConnection::Execute.
void SaveCameraAddress(SqlConnection& connection, int number, const std::string& url);

}  // namespace kestrin::link
