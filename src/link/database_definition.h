#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::link {

// The name of the one connection definition the service registers.
inline constexpr const char* kConnectionDefinitionName = "MyFB_Connection_1";
// The access-control database's file in the folder the server names.
inline constexpr const char* kDatabaseFileName = "CBASE.FDB";

// Where the database lies, from the "path" of the server's database answer.
struct DatabaseLocation {
  std::string host;    // empty: the embedded engine opens the file directly
  std::string folder;  // empty: no usable location
};

// Splits the answer's path into host and folder:
//   - a drive-letter path with no other colon ("C:\Base") lies on the machine
//     the server connection was opened to: host `connection_host`, folder the
//     whole path;
//   - otherwise the host is the text before the first colon and the folder
//     the text after it ("db-host:/srv/base", "db-host:D:\Base");
//   - a path without a colon ("/srv/base", "\\nas\share") is opened by the
//     embedded engine: empty host, folder the whole path.
DatabaseLocation SplitDatabasePath(std::string_view path, std::string_view connection_host);

// The parameters of the connection definition.
struct ConnectionParameters {
  std::string user;
  std::string password;
  std::string host;
  std::string database;  // folder + separator + CBASE.FDB

  bool operator==(const ConnectionParameters&) const = default;
};

// The parameters for `location` and the answer's credentials. The file name
// is joined with "\" when the folder is written with backslashes (a Windows
// server's folder), otherwise with "/".
ConnectionParameters MakeConnectionParameters(std::string_view user, std::string_view password,
                                              const DatabaseLocation& location);

// The definition's parameter list, in its fixed order: "DriverID=FB",
// "User_Name=", "Password=", "Server=", "SQLDialect=3", "Protocol=TCPIP",
// "Database=".
std::vector<std::string> DefinitionParameterList(const ConnectionParameters& parameters);

// The connect string of SOCI's Firebird backend for `parameters`: the service
// "host:database" (or the database alone for the embedded engine), the user
// and the password. Values with spaces are quoted; nullopt, with `error` set,
// when a value holds both white space and a double quote, which the backend
// cannot take.
std::optional<std::string> FirebirdConnectString(const ConnectionParameters& parameters,
                                                 std::string* error);

}  // namespace kestrin::link
