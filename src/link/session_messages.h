#pragma once

#include <string>
#include <string_view>

namespace kestrin::link {

// What a message from the access-control server is, by the fixed pieces it
// contains, tested in this order.
enum class MessageKind {
  kEvent,           // contains "type":"event"
  kWelcome,         // contains "answer":"welcome"
  kDatabaseAnswer,  // contains "atype":401
  kOther,           // anything else, an empty payload included: a sign of life
};

MessageKind ClassifyMessage(std::string_view text);

// The text of a received payload: its bytes read as Windows-1251 (converted to
// UTF-8) and stripped of leading and trailing characters with codes up to 32.
std::string ReceivedText(std::string_view payload);

// {"command":"login","user":LOGIN,"password":DIGEST} with both values
// JSON-escaped, so that any login still gives valid JSON.
std::string LoginMessage(const std::string& login, const std::string& digest);

// The database request.
inline constexpr const char* kDatabaseRequest = R"({"command":"getdb"})";

// The members taken from a database answer: answer.path, answer.user and
// answer.password in that order, each as text (a number as its decimal text).
// A parse error, a non-object "answer" or a missing member stops the taking,
// leaving that member and the following ones empty. Text beyond the limits of
// service::ParseBoundedJson counts as a parse error.
struct DatabaseAnswer {
  std::string path;
  std::string user;
  std::string password;

  bool Complete() const { return !path.empty() && !user.empty() && !password.empty(); }
};

DatabaseAnswer ParseDatabaseAnswer(const std::string& text);

}  // namespace kestrin::link
