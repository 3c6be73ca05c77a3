#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/rule.h"
#include "link/database.h"

namespace kestrin::link {

// Reads the rules table on `connection` with the reload query, in the order
// the database returns the rows. Throws soci::soci_error on a database error.
std::vector<capture::Rule> ReadRules(DatabaseConnection& connection);

// The event thread's reload: opens a connection of its own on the connection
// definition, reads the rules and closes it again. Nullopt, with `error` set
// when given, when the database cannot be reached or read.
std::optional<std::vector<capture::Rule>> LoadRules(Database& database,
                                                    std::string* error = nullptr);

// The value of column `i` of `row` as an integer, whatever integer or
// floating type the database gave it; NULL reads as 0.
int64_t ColumnInteger(const soci::row& row, size_t i);
// The value of column `i` of `row` as text: the database's bytes for text,
// decimal for numbers, "dd.mm.yyyy hh:nn:ss" for dates; NULL and other types
// read as empty text.
std::string ColumnText(const soci::row& row, size_t i);

}  // namespace kestrin::link
