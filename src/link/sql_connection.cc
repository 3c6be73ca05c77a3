#include "link/sql_connection.h"

#include "link/database_statements.h"

namespace kestrin::link {

void SaveCameraAddress(SqlConnection& connection, int number, const std::string& url) {
  connection.Execute(sql::kDeleteCameraPrefix + std::to_string(number), {});
  if (!url.empty()) {
    connection.Execute(sql::kInsertCamera, {SqlParam{"id", int64_t{number}}, SqlParam{"url", url}});
  }
}

}  // namespace kestrin::link
