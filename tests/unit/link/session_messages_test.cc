#include "link/session_messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service/bounded_json.h"

namespace kestrin::link {
namespace {

TEST(SessionMessagesTest, ClassifiesByFixedPiecesInOrder) {
  struct Case {
    const char* text;
    MessageKind kind;
  } cases[] = {
      {R"({"type":"event","dvs":"1"})", MessageKind::kEvent},
      {R"({"answer":"welcome","type":"event"})", MessageKind::kEvent},  // both: an event
      {R"({"type": "event"})", MessageKind::kOther},                    // a space after the colon
      {R"({"TYPE":"EVENT"})", MessageKind::kOther},
      {R"({"answer":"welcome"})", MessageKind::kWelcome},
      {R"({"answer":"denied"})", MessageKind::kOther},
      {R"({"atype":401,"answer":{}})", MessageKind::kDatabaseAnswer},
      {R"({"atype":"401"})", MessageKind::kOther},
      {"", MessageKind::kOther},
      {"ping", MessageKind::kOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ClassifyMessage(c.text), c.kind);
  }
}

TEST(SessionMessagesTest, ReceivedTextIsEightBitAndTrimmed) {
  EXPECT_EQ(ReceivedText(" \r\n{\"a\":\"\xC2\xC7\xCB\xCE\xCC\"}\t\x01"), "{\"a\":\"ВЗЛОМ\"}");
  EXPECT_EQ(ReceivedText(""), "");
}

TEST(SessionMessagesTest, LoginMessageIsValidJsonForAnyLogin) {
  EXPECT_EQ(LoginMessage("admin", "5EBE2294ECD0E0F08EAB7690D2A6EE69"),
            R"({"command":"login","user":"admin","password":"5EBE2294ECD0E0F08EAB7690D2A6EE69"})");
  for (std::string login : {"ad\"min", "back\\slash", "оператор", "tab\tx"}) {
    SCOPED_TRACE(login);
    nlohmann::json parsed = nlohmann::json::parse(LoginMessage(login, "D"));
    EXPECT_EQ(parsed["command"], "login");
    EXPECT_EQ(parsed["user"], login);
    EXPECT_EQ(parsed["password"], "D");
  }
}

TEST(SessionMessagesTest, DatabaseAnswerTakesMembersInOrderUntilOneIsMissing) {
  struct Case {
    const char* text;
    const char* path;
    const char* user;
    const char* password;
  } cases[] = {
      {R"({"atype":401,"answer":{"path":"srv:/db","user":"SYSDBA","password":"x"}})", "srv:/db",
       "SYSDBA", "x"},
      {R"({"atype":401,"answer":{"path":"/db","password":"x"}})", "/db", "", ""},
      {R"({"atype":401,"answer":{"user":"u","password":"x"}})", "", "", ""},
      {R"({"atype":401,"answer":{"path":"/db","user":"u","password":12345}})", "/db", "u", "12345"},
      {R"({"atype":401,"answer":"no"})", "", "", ""},
      {R"({"atype":401,"answer":{"path":"/db")", "", "", ""},  // cut off
      {R"([1,2])", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DatabaseAnswer answer = ParseDatabaseAnswer(c.text);
    EXPECT_EQ(answer.path, c.path);
    EXPECT_EQ(answer.user, c.user);
    EXPECT_EQ(answer.password, c.password);
  }
  EXPECT_FALSE(
      ParseDatabaseAnswer(R"({"answer":{"path":"/db","user":"u","password":""}})").Complete());
}

// The answer of a hostile server: "path" nested `levels` deep in arrays.
std::string NestedAnswer(size_t levels) {
  return R"({"atype":401,"answer":{"path":)" + std::string(levels, '[') +
         std::string(levels, ']') + R"(,"user":"a","password":"b"}})";
}

TEST(SessionMessagesTest, DatabaseAnswerBeyondTheLimitsIsIgnored) {
  // Two levels for the message and its answer leave 62 for the path.
  DatabaseAnswer deepest = ParseDatabaseAnswer(NestedAnswer(62));
  EXPECT_EQ(deepest.path, std::string(62, '[') + std::string(62, ']'));
  EXPECT_EQ(deepest.password, "b");
  for (size_t levels : {63, 100000}) {
    SCOPED_TRACE(levels);
    DatabaseAnswer answer = ParseDatabaseAnswer(NestedAnswer(levels));
    EXPECT_EQ(answer.path, "");
    EXPECT_FALSE(answer.Complete());
  }
  const std::string padded = R"({"atype":401,"answer":{"path":"/db","user":"u","password":"x"},)"
                             R"("pad":")" +
                             std::string(service::kMaxJsonBytes, ' ') + "\"}";
  EXPECT_FALSE(ParseDatabaseAnswer(padded).Complete());
}

}  // namespace
}  // namespace kestrin::link
