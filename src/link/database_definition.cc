#include "link/database_definition.h"

#include <algorithm>
#include <cctype>

namespace kestrin::link {
namespace {

bool IsDriveLetterPath(std::string_view path) {
  return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool HasWhiteSpace(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

// One "key=value" pair of the connect string. The backend splits the string
// at white space and takes a value in double quotes whole, without escapes.
std::optional<std::string> ConnectPair(std::string_view key, std::string_view value,
                                       std::string* error) {
  std::string pair(key);
  pair += '=';
  bool needs_quotes = value.empty() || HasWhiteSpace(value) || value.front() == '"';
  if (!needs_quotes) {
    pair += value;
    return pair;
  }
  if (value.find('"') != std::string_view::npos) {
    if (error) {
      *error = "the database " + std::string(key) +
               " holds both white space and a double quote, which the database client cannot "
               "take";
    }
    return std::nullopt;
  }
  pair += '"';
  pair += value;
  pair += '"';
  return pair;
}

}  // namespace

DatabaseLocation SplitDatabasePath(std::string_view path, std::string_view connection_host) {
  size_t colons = std::count(path.begin(), path.end(), ':');
  if (colons == 1 && IsDriveLetterPath(path)) {
    return {std::string(connection_host), std::string(path)};
  }
  size_t colon = path.find(':');
  if (colon == std::string_view::npos) return {"", std::string(path)};
  return {std::string(path.substr(0, colon)), std::string(path.substr(colon + 1))};
}

ConnectionParameters MakeConnectionParameters(std::string_view user, std::string_view password,
                                              const DatabaseLocation& location) {
  bool windows_folder = location.folder.find('\\') != std::string::npos;
  ConnectionParameters parameters;
  parameters.user = user;
  parameters.password = password;
  parameters.host = location.host;
  parameters.database = location.folder + (windows_folder ? "\\" : "/") + kDatabaseFileName;
  return parameters;
}

std::vector<std::string> DefinitionParameterList(const ConnectionParameters& parameters) {
  return {
      "DriverID=FB",
      "User_Name=" + parameters.user,
      "Password=" + parameters.password,
      "Server=" + parameters.host,
      "SQLDialect=3",
      "Protocol=TCPIP",
      "Database=" + parameters.database,
  };
}

std::optional<std::string> FirebirdConnectString(const ConnectionParameters& parameters,
                                                 std::string* error) {
  std::string service =
      parameters.host.empty() ? parameters.database : parameters.host + ":" + parameters.database;
  auto service_pair = ConnectPair("service", service, error);
  if (!service_pair) return std::nullopt;
  auto user_pair = ConnectPair("user", parameters.user, error);
  if (!user_pair) return std::nullopt;
  auto password_pair = ConnectPair("password", parameters.password, error);
  if (!password_pair) return std::nullopt;
  return *service_pair + " " + *user_pair + " " + *password_pair;
}

}  // namespace kestrin::link
