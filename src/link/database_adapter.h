#pragma once

#include <functional>
#include <memory>
#include <string>

#include "link/database.h"
#include "link/sql_connection.h"

namespace kestrin::link {

// Opens SqlConnections on `database`, which must outlive the function. Text
// travels to and from the database in Windows-1251 and is UTF-8 for the
// caller; every statement that writes is committed on its own. On failure the
// function returns nothing and sets `error` to the database's message.
std::function<std::unique_ptr<SqlConnection>(std::string& error)> DatabaseOpener(
    Database& database);

}  // namespace kestrin::link
