#include "web/demo_event.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestrin::web {
namespace {

const platform::LocalFields kNow{2021, 8, 12, 14, 5, 9, 321};

TEST(DemoEvent, TextCarriesTheCodeHalvesInDecimal) {
  struct Case {
    std::string code;
    std::string ev1;
    std::string ev2;
  };
  for (const Case& c : {Case{"0A08", "10", "8"}, Case{"FF80", "255", "128"}, Case{"0002", "0", "2"},
                        Case{"cf04", "207", "4"}}) {
    EXPECT_EQ(DemoEventText(kNow, "0012A3B4C5D6", c.code),
              "{\"type\":\"event\", \"version\":1, \"time\":\"2021-08-12T14:05:09\","
              "\"dvs\":\"0012A3B4C5D6\",\"ror\":\"1\",\"ev1\":\"" +
                  c.ev1 + "\",\"ev2\":\"" + c.ev2 + "\",\"key\":\"0\",\"id\":\"15900\"}")
        << c.code;
  }
}

TEST(DemoEvent, RefusesCodesThatAreNotFourHexDigitsAndEscapesTheController) {
  for (std::string_view code : {"", "0A0", "0A080", "ZZ01", "0 08"}) {
    EXPECT_FALSE(DemoEventText(kNow, "0012A3B4C5D6", code)) << code;
  }
  std::string text = *DemoEventText({2000, 1, 2, 3, 4, 5, 0}, "ab\"c\\d", "0001");
  EXPECT_NE(text.find("\"time\":\"2000-01-02T03:04:05\",\"dvs\":\"ab\\\"c\\\\d\","),
            std::string::npos)
      << text;
}

class FakeRuleConnection : public DatabaseConnection {
 public:
  explicit FakeRuleConnection(std::vector<SqlRow> rows) : rows_(std::move(rows)) {}
  void Execute(const std::string&, const std::vector<SqlParam>&) override {}
  std::vector<SqlRow> Query(const std::string&, const std::vector<SqlParam>& params) override {
    EXPECT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].name, "rule");
    return rows_;
  }

 private:
  std::vector<SqlRow> rows_;
};

TEST(DemoEvent, QueuesTheEventOfAFoundRuleOnly) {
  struct Case {
    const char* name;
    std::vector<std::string> params;
    std::string db_path;
    bool reachable;
    std::vector<SqlRow> rows;
    bool queued;
  };
  const SqlRow rule = {"1630850709123", "0012A3B4C5D6", "0A08"};
  const Case cases[] = {
      {"found", {"ruleid=1630850709123"}, "/db", true, {rule}, true},
      {"id of 12 characters", {"ruleid=163085070912"}, "/db", true, {rule}, false},
      {"id not on the first line", {"x=1", "ruleid=1630850709123"}, "/db", true, {rule}, false},
      {"not found", {"ruleid=1630850709123"}, "/db", true, {}, false},
      {"no database yet", {"ruleid=1630850709123"}, "", true, {rule}, false},
      {"unreachable database", {"ruleid=1630850709123"}, "/db", false, {rule}, false},
      {"code of another length",
       {"ruleid=1630850709123"},
       "/db",
       true,
       {{"1630850709123", "0012A3B4C5D6", "A08"}},
       false},
      {"no controller",
       {"ruleid=1630850709123"},
       "/db",
       true,
       {{"1630850709123", std::nullopt, "0A08"}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> queued;
    WebContext context;
    context.open_database = [&](std::string& error) -> std::unique_ptr<DatabaseConnection> {
      if (!c.reachable) {
        error = "down";
        return nullptr;
      }
      return std::make_unique<FakeRuleConnection>(c.rows);
    };
    context.queue_event = [&](std::string item) { queued.push_back(std::move(item)); };

    WebResponse reply = DemoEventReply(c.params, c.db_path, context);
    if (c.queued) {
      ASSERT_EQ(queued.size(), 1u);
      EXPECT_NE(
          queued[0].find("\"dvs\":\"0012A3B4C5D6\",\"ror\":\"1\",\"ev1\":\"10\",\"ev2\":\"8\""),
          std::string::npos);
      EXPECT_NE(reply.body.find("<body><p>демонстрационное событие сгенерировано</p></body>"),
                std::string::npos);
    } else {
      EXPECT_TRUE(queued.empty());
      EXPECT_EQ(reply.body, "ошибка");
      EXPECT_EQ(reply.content_type, "text/html; charset=utf-8");
    }
  }
}

}  // namespace
}  // namespace kestrin::web
