#include "link/database_definition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrin::link {
namespace {

struct SplitCase {
  const char* path;
  const char* host;
  const char* database;
};

TEST(DatabaseDefinitionTest, AnswerPathGivesServerAndDatabase) {
  // The server connection was opened to 10.0.0.5.
  const SplitCase cases[] = {
      {"C:\\Base", "10.0.0.5", "C:\\Base\\CBASE.FDB"},
      {"db-host:C:\\Base", "db-host", "C:\\Base\\CBASE.FDB"},
      {"192.168.0.10:D:\\Base", "192.168.0.10", "D:\\Base\\CBASE.FDB"},
      {"\\\\nas\\share", "", "\\\\nas\\share\\CBASE.FDB"},
      {"/srv/base", "", "/srv/base/CBASE.FDB"},
      {"db-host:/srv/base", "db-host", "/srv/base/CBASE.FDB"},
      {"db-host/3051:/srv/base", "db-host/3051", "/srv/base/CBASE.FDB"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.path);
    ConnectionParameters p =
        MakeConnectionParameters("SYSDBA", "pw", SplitDatabasePath(c.path, "10.0.0.5"));
    EXPECT_EQ(p.host, c.host);
    EXPECT_EQ(p.database, c.database);
  }
}

TEST(DatabaseDefinitionTest, ParameterListInFixedOrder) {
  ConnectionParameters p{"SYSDBA", "secret", "db-host", "/srv/base/CBASE.FDB"};
  EXPECT_THAT(
      DefinitionParameterList(p),
      testing::ElementsAre("DriverID=FB", "User_Name=SYSDBA", "Password=secret", "Server=db-host",
                           "SQLDialect=3", "Protocol=TCPIP", "Database=/srv/base/CBASE.FDB"));
}

TEST(DatabaseDefinitionTest, ConnectStringQuotesWhatTheClientWouldSplit) {
  struct Case {
    ConnectionParameters parameters;
    const char* expected;  // nullptr: cannot be expressed
  };
  const Case cases[] = {
      {{"SYSDBA", "x", "", "/srv/base/CBASE.FDB"},
       "service=/srv/base/CBASE.FDB user=SYSDBA password=x"},
      {{"SYSDBA", "x", "db-host", "/srv/base/CBASE.FDB"},
       "service=db-host:/srv/base/CBASE.FDB user=SYSDBA password=x"},
      // '=' and a quote inside a value need no quoting; spaces do.
      {{"USER", "a=b\"c", "", "/srv/my base/CBASE.FDB"},
       "service=\"/srv/my base/CBASE.FDB\" user=USER password=a=b\"c"},
      {{"USER", "", "", "/b/CBASE.FDB"}, "service=/b/CBASE.FDB user=USER password=\"\""},
      {{"USER", "\"x", "", "/b/CBASE.FDB"}, nullptr},
      {{"USER", "a \"b", "", "/b/CBASE.FDB"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameters.password);
    std::string error;
    auto connect = FirebirdConnectString(c.parameters, &error);
    if (c.expected) {
      ASSERT_TRUE(connect.has_value()) << error;
      EXPECT_EQ(*connect, c.expected);
    } else {
      EXPECT_FALSE(connect.has_value());
      EXPECT_THAT(error, testing::HasSubstr("password"));
    }
  }
}

}  // namespace
}  // namespace kestrin::link
