#include "link/session_messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace kestrin::link
