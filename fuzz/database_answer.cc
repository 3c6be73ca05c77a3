// Feeds the payload of one frame from the access-control server through the
// session's reading of a database answer and on to everything the database
// setup derives from it without a database: the host and folder split, the
// connection definition's parameters and the database client's connect
// string. The raw bytes also go to the answer parse directly.
//
// The connect string is read back by the rule the database client applies
// (pairs split at white space, a value in double quotes taken whole), so a
// value the client would take apart, or a stray quote, is a finding.

#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "link/database_definition.h"
#include "link/session_messages.h"

namespace {

using namespace kestrin::link;

constexpr std::string_view kConnectionHost = "10.0.0.5";

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The pairs of a connect string as the database client reads them: pieces
// separated by white space, each a key, "=" and a value; a value starting
// with a double quote runs to the next one. Nothing when a piece has no "="
// or a quote is not closed.
std::optional<std::map<std::string, std::string>> ReadConnectString(std::string_view text) {
  std::map<std::string, std::string> pairs;
  size_t i = 0;
  while (true) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i == text.size()) return pairs;
    size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) return std::nullopt;
    std::string key(text.substr(i, eq - i));
    for (char c : key) {
      if (IsSpace(c)) return std::nullopt;
    }
    i = eq + 1;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      value = text.substr(i + 1, close - i - 1);
      i = close + 1;
      if (i < text.size() && !IsSpace(text[i])) return std::nullopt;
    } else {
      size_t end = i;
      while (end < text.size() && !IsSpace(text[end])) ++end;
      value = text.substr(i, end - i);
      i = end;
    }
    if (!pairs.emplace(std::move(key), std::move(value)).second) return std::nullopt;
  }
}

void CheckAnswer(const DatabaseAnswer& answer) {
  // The answer written as the server writes it parses to the same members.
  nlohmann::json written = {
      {"atype", 401},
      {"answer", {{"path", answer.path}, {"user", answer.user}, {"password", answer.password}}}};
  std::string text = written.dump();
  FUZZ_CHECK(ClassifyMessage(text) == MessageKind::kDatabaseAnswer);
  DatabaseAnswer again = ParseDatabaseAnswer(text);
  FUZZ_CHECK(again.path == answer.path && again.user == answer.user &&
             again.password == answer.password);
  if (!answer.Complete()) return;

  // Host and folder: the connection's host for a drive-letter path, else the
  // split at the first colon, else the whole path on the embedded engine.
  DatabaseLocation location = SplitDatabasePath(answer.path, kConnectionHost);
  const bool whole_path =
      location.folder == answer.path && (location.host == kConnectionHost || location.host.empty());
  const bool split = location.host + ":" + location.folder == answer.path &&
                     location.host.find(':') == std::string::npos;
  FUZZ_CHECK(whole_path || split);
  if (answer.path.find(':') == std::string::npos) {
    FUZZ_CHECK(location.host.empty() && location.folder == answer.path);
  }

  ConnectionParameters parameters =
      MakeConnectionParameters(answer.user, answer.password, location);
  FUZZ_CHECK(parameters.user == answer.user && parameters.password == answer.password);
  FUZZ_CHECK(parameters.host == location.host);
  FUZZ_CHECK(parameters.database.size() == location.folder.size() + 1 + 9);
  FUZZ_CHECK(parameters.database.substr(0, location.folder.size()) == location.folder);
  FUZZ_CHECK(parameters.database.substr(location.folder.size() + 1) == kDatabaseFileName);

  std::vector<std::string> list = DefinitionParameterList(parameters);
  FUZZ_CHECK(list.size() == 7);
  FUZZ_CHECK(list[1] == "User_Name=" + parameters.user);
  FUZZ_CHECK(list[2] == "Password=" + parameters.password);
  FUZZ_CHECK(list[3] == "Server=" + parameters.host);
  FUZZ_CHECK(list[6] == "Database=" + parameters.database);

  // The connect string carries the three values whole, or is refused with a
  // reason when one of them cannot be carried.
  std::string error;
  std::optional<std::string> connect = FirebirdConnectString(parameters, &error);
  std::string service =
      parameters.host.empty() ? parameters.database : parameters.host + ":" + parameters.database;
  if (!connect) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  std::optional<std::map<std::string, std::string>> pairs = ReadConnectString(*connect);
  FUZZ_CHECK(pairs.has_value());
  FUZZ_CHECK(pairs->size() == 3);
  FUZZ_CHECK((*pairs)["service"] == service);
  FUZZ_CHECK((*pairs)["user"] == parameters.user);
  FUZZ_CHECK((*pairs)["password"] == parameters.password);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string payload(reinterpret_cast<const char*>(data), size);
  std::string text = ReceivedText(payload);
  DatabaseAnswer answer = ParseDatabaseAnswer(text);
  CheckAnswer(answer);
  // Only a message with the answer's piece reaches the parse in the service;
  // the parse itself must take any text, bytes that are no UTF-8 included.
  CheckAnswer(ParseDatabaseAnswer(payload));
  return 0;
}
