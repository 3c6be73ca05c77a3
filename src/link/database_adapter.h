#pragma once

#include <functional>
#include <memory>
#include <string>

#include "link/database.h"
#include "web/web_context.h"

namespace kestrin::web {

// The pages' way of opening a private connection on the service's database
// layer. Text travels to and from the database in Windows-1251 and is UTF-8
// in the pages; every statement that writes is committed on its own; cells
// come back as text (numbers in decimal), null cells as nothing.
std::function<std::unique_ptr<DatabaseConnection>(std::string& error)> DatabaseOpener(
    link::Database& database);

}  // namespace kestrin::web
