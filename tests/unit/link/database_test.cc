// The database layer against real Firebird databases: the embedded engine,
// and once the server over TCP.

#include "link/database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "database_test_support.h"
#include "link/database_rules.h"
#include "link/database_statements.h"

// The database client keeps process-wide tables (big-number constants, code
// page converters) that it never frees; the leak checker of the sanitizer
// builds is told to leave them be.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfbclient.so\nleak:libtommath.so\n";
}

// The embedded engine orders its own internal locks in ways the thread
// checker cannot follow (it sees them only from outside); reports that lie
// wholly inside the engine are not ours.
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:libEngine12.so\ndeadlock:libfbclient.so\nrace:libEngine12.so\nrace:libfbclient."
         "so\n";
}

namespace kestrin::link {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class DatabaseTest : public ::testing::Test {
 protected:
  std::string Log() { return testing::ReadFile(home_.path() / "videoserver.log"); }

  // Makes a database in a new folder under the scratch folder.
  std::string NewDatabase(const std::string& name, const std::string& arguments = "") {
    auto dir = scratch_.path() / name;
    EXPECT_TRUE(testing::MakeTestDatabase(dir, arguments));
    return dir.string();
  }

  // The columns of FB_IPD2 as "NAME TYPE-CODE LENGTH", in their order.
  std::vector<std::string> RulesTableColumns(DatabaseConnection& connection) {
    std::vector<std::string> columns;
    soci::rowset<soci::row> rows =
        connection.session().prepare
        << "select trim(rf.rdb$field_name), f.rdb$field_type, f.rdb$character_length "
           "from rdb$relation_fields rf join rdb$fields f on f.rdb$field_name = "
           "rf.rdb$field_source where rf.rdb$relation_name = 'FB_IPD2' order by "
           "rf.rdb$field_position";
    for (const soci::row& row : rows) {
      columns.push_back(ColumnText(row, 0) + " " + std::to_string(ColumnInteger(row, 1)) + " " +
                        std::to_string(ColumnInteger(row, 2)));
    }
    return columns;
  }

  int64_t CountRules(DatabaseConnection& connection) {
    long long count = -1;
    connection.session() << "select count(*) from FB_IPD2", soci::into(count);
    return count;
  }

  testing::TempFolder home_;
  testing::TempFolder scratch_;
  service::ServiceLog log_{(home_.path() / "videoserver.log").string()};
  // Room for the embedded engine's start, slow in the sanitizer builds and on
  // a busy machine; the service's own limit is for hosts that never answer.
  Database database_{log_, std::chrono::seconds(60)};
};

TEST_F(DatabaseTest, AnswerCreatesTheRulesTableOnceAndLeavesItAloneAfterwards) {
  std::string folder = NewDatabase("base");
  DatabaseLocation location = database_.SetUp(folder, "SYSDBA", "x", "10.0.0.5");
  EXPECT_EQ(location.host, "");
  EXPECT_EQ(location.folder, folder);
  EXPECT_TRUE(database_.conndef_registered());

  std::string error;
  auto connection = database_.Open(&error);
  ASSERT_NE(connection, nullptr) << error;
  // Type codes: 16 BIGINT, 37 VARCHAR, 7 SMALLINT, 8 INTEGER.
  EXPECT_THAT(RulesTableColumns(*connection),
              ::testing::ElementsAre("ID 16 0", "DVS 37 12", "CAM 7 0", "EVNT 37 4", "RGT 7 0",
                                     "DLY 8 0", "QLY 8 0", "MTL 8 0", "NID 7 0", "ZONE 37 50",
                                     "NUMZ 37 50", "FLAG1 7 0", "FLAG2 7 0", "FORK 37 400"));
  // Bound values must outlive the statement, which runs at the end of the
  // full expression: no temporaries.
  long long id = 1234567890123LL;
  std::string dvs = "0012A3B4C5D6", evnt = "0204";
  int cam = 1, qly = 80, dly = 0, rgt = 0, mtl = 0;
  connection->session() << sql::kInsertRule, soci::use(id, "id"), soci::use(dvs, "dvs"),
      soci::use(cam, "cam"), soci::use(evnt, "evnt"), soci::use(qly, "qly"), soci::use(dly, "dly"),
      soci::use(rgt, "rgt"), soci::use(mtl, "mtl");
  connection->session().commit();
  connection->Close();

  // A second answer for the same database finds the table and keeps its rows.
  EXPECT_EQ(database_.SetUp(folder, "SYSDBA", "x", "10.0.0.5").folder, folder);
  connection = database_.Open(&error);
  ASSERT_NE(connection, nullptr) << error;
  EXPECT_EQ(CountRules(*connection), 1);
  connection.reset();
  EXPECT_THAT(Log(), Not(HasSubstr("DBERROR")));
}

TEST_F(DatabaseTest, SecondAnswerReplacesTheDefinition) {
  std::string first = NewDatabase("first");
  std::string second = NewDatabase("second", "--camera 7 rtsp://second");
  ASSERT_FALSE(database_.SetUp(first, "SYSDBA", "x", "").folder.empty());
  ASSERT_FALSE(database_.SetUp(second, "SYSDBA", "x", "").folder.empty());
  EXPECT_EQ(database_.definition()->database, second + "/CBASE.FDB");

  std::string error;
  auto connection = database_.Open(&error);
  ASSERT_NE(connection, nullptr) << error;
  std::string url;
  connection->session() << "SELECT url FROM FB_IPC WHERE id=7", soci::into(url);
  EXPECT_EQ(url, "rtsp://second");
}

TEST_F(DatabaseTest, FailuresAreReportedWithTheClientsText) {
  std::string error;
  EXPECT_EQ(database_.Open(&error), nullptr);
  EXPECT_THAT(error, HasSubstr("MyFB_Connection_1"));

  // A folder without a database: the table check fails and nothing may be
  // published, but the definition is registered and later opens fail.
  std::string missing = (scratch_.path() / "missing").string();
  EXPECT_EQ(database_.SetUp(missing, "SYSDBA", "x", "").folder, "");
  EXPECT_TRUE(database_.conndef_registered());
  EXPECT_THAT(Log(), HasSubstr("DBERROR#2="));
  EXPECT_THAT(Log(), HasSubstr(missing + "/CBASE.FDB"));
  EXPECT_THAT(Log(), Not(HasSubstr("DBERROR#1=")));

  EXPECT_EQ(database_.Open(&error), nullptr);
  EXPECT_THAT(error, HasSubstr(missing + "/CBASE.FDB"));
  EXPECT_EQ(LoadRules(database_, &error), std::nullopt);
}

TEST_F(DatabaseTest, ReloadReadsRulesInDatabaseOrder) {
  std::string folder =
      NewDatabase("rules",
                  "--rule 0012A3B4C5D6 2 0204 80 100 0 0 --rule 0012A3B4C5D6 1 0204 60 0 2 5 "
                  "--rule 00C0FFEE0001 265 D001 500 -3 1 5");
  ASSERT_FALSE(database_.SetUp(folder, "SYSDBA", "x", "").folder.empty());
  {
    std::string error;
    auto connection = database_.Open(&error);
    ASSERT_NE(connection, nullptr) << error;
    // A row with every column NULL and one with a Cyrillic controller name.
    const std::string entrance = "\xc2\xf5\xee\xe4";  // "Вход" in Windows-1251
    connection->session() << "INSERT INTO FB_IPD2 (ID) VALUES (1)";
    connection->session() << "INSERT INTO FB_IPD2 (ID,DVS,CAM,EVNT,QLY,DLY,RGT,MTL) VALUES "
                             "(2,:dvs,3,'0101',90,0,0,0)",
        soci::use(entrance, "dvs");
    connection->session().commit();
  }

  std::string error;
  auto rules = LoadRules(database_, &error);
  ASSERT_TRUE(rules.has_value()) << error;
  EXPECT_THAT(*rules, ::testing::ElementsAre(capture::Rule{"0012A3B4C5D6", "0204", 2, 80, 100, 0},
                                             capture::Rule{"0012A3B4C5D6", "0204", 1, 60, 0, 5},
                                             // Integers keep their field's low bits; RGT 1 is
                                             // no multi-frame rule.
                                             capture::Rule{"00C0FFEE0001", "D001", 9, 244, -3, 0},
                                             capture::Rule{"", "", 0, 0, 0, 0},
                                             capture::Rule{"Вход", "0101", 3, 90, 0, 0}));
}

TEST_F(DatabaseTest, ServerOverTcp) {
  if (!testing::FirebirdServerListening()) {
    GTEST_SKIP() << "no Firebird server on 127.0.0.1:3050 (scripts/start-services starts it)";
  }
  std::string password = testing::ServerSysdbaPassword();
  ASSERT_FALSE(password.empty());
  std::string folder = NewDatabase("served", "--server");

  // Wrong credentials: the server's refusal is logged, nothing published.
  EXPECT_EQ(database_.SetUp("localhost:" + folder, "SYSDBA", password + "-wrong", "").folder, "");
  EXPECT_THAT(Log(), HasSubstr("DBERROR#2="));

  DatabaseLocation location = database_.SetUp("localhost:" + folder, "SYSDBA", password, "");
  EXPECT_EQ(location.host, "localhost");
  EXPECT_EQ(location.folder, folder);
  std::string error;
  auto rules = LoadRules(database_, &error);
  ASSERT_TRUE(rules.has_value()) << error;
  EXPECT_TRUE(rules->empty());
}

// A connection that breaks while a statement's transaction is still open: the
// commit that closing makes fails, and the connection must still go without
// ending the process; the next one opens as usual.
TEST_F(DatabaseTest, ConnectionBrokenWithATransactionOpenClosesQuietly) {
  if (!testing::FirebirdServerListening()) {
    GTEST_SKIP() << "no Firebird server on 127.0.0.1:3050 (scripts/start-services starts it)";
  }
  std::string password = testing::ServerSysdbaPassword();
  ASSERT_FALSE(password.empty());
  std::string folder = NewDatabase("relayed", "--server");
  std::optional<testing::FirebirdRelay> relay(std::in_place);
  std::string path = "127.0.0.1/" + std::to_string(relay->port()) + ":" + folder;
  ASSERT_EQ(database_.SetUp(path, "SYSDBA", password, "").folder, folder);

  std::string error;
  std::unique_ptr<DatabaseConnection> connection = database_.Open(&error);
  ASSERT_TRUE(connection) << error;
  EXPECT_EQ(CountRules(*connection), 0);
  relay->Cut();
  relay.reset();
  EXPECT_THROW(CountRules(*connection), soci::soci_error);
  connection.reset();

  // Straight to the server now: the definition is the same but for the port.
  ASSERT_EQ(database_.SetUp("127.0.0.1:" + folder, "SYSDBA", password, "").folder, folder);
  connection = database_.Open(&error);
  ASSERT_TRUE(connection) << error;
  EXPECT_EQ(CountRules(*connection), 0);
}

}  // namespace
}  // namespace kestrin::link
