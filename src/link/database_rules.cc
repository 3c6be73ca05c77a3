#include "link/database_rules.h"

#include <cmath>

#include <fmt/format.h>

#include "link/database_statements.h"

namespace kestrin::link {

int64_t ColumnInteger(const soci::row& row, size_t i) {
  if (row.get_indicator(i) == soci::i_null) return 0;
  switch (row.get_properties(i).get_data_type()) {
    case soci::dt_integer:
      return row.get<int>(i);
    case soci::dt_long_long:
      return row.get<long long>(i);
    case soci::dt_unsigned_long_long:
      return static_cast<int64_t>(row.get<unsigned long long>(i));
    case soci::dt_double:
      return static_cast<int64_t>(std::llround(row.get<double>(i)));
    case soci::dt_string:
      return std::strtoll(row.get<std::string>(i).c_str(), nullptr, 10);
    default:
      return 0;
  }
}

std::string ColumnText(const soci::row& row, size_t i) {
  if (row.get_indicator(i) == soci::i_null) return {};
  switch (row.get_properties(i).get_data_type()) {
    case soci::dt_string:
      return row.get<std::string>(i);
    case soci::dt_integer:
    case soci::dt_long_long:
    case soci::dt_unsigned_long_long:
      return std::to_string(ColumnInteger(row, i));
    case soci::dt_double:
      return fmt::format("{}", row.get<double>(i));
    case soci::dt_date: {
      std::tm t = row.get<std::tm>(i);
      return fmt::format("{:02}.{:02}.{:04} {:02}:{:02}:{:02}", t.tm_mday, t.tm_mon + 1,
                         t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    }
    default:
      return {};
  }
}

std::vector<capture::Rule> ReadRules(DatabaseConnection& connection) {
  std::vector<capture::Rule> rules;
  soci::rowset<soci::row> rows = connection.session().prepare << sql::kSelectRules;
  for (const soci::row& row : rows) {
    rules.push_back(capture::MakeRule(ColumnText(row, 0), ColumnInteger(row, 1), ColumnText(row, 2),
                                      ColumnInteger(row, 3), ColumnInteger(row, 4),
                                      ColumnInteger(row, 5), ColumnInteger(row, 6)));
  }
  return rules;
}

std::optional<std::vector<capture::Rule>> LoadRules(Database& database, std::string* error) {
  std::string open_error;
  std::unique_ptr<DatabaseConnection> connection = database.Open(&open_error);
  if (!connection) {
    if (error) *error = open_error;
    return std::nullopt;
  }
  try {
    return ReadRules(*connection);
  } catch (const std::exception& failure) {
    if (error) *error = DatabaseErrorText(failure);
    return std::nullopt;
  }
}

}  // namespace kestrin::link
