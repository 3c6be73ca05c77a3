#include "web/rules_editor.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/database_statements.h"
#include "web/page.h"

namespace kestrin::web {
namespace {

using testing::HasSubstr;

// Records the statements of one test; queries answer from `answers` by SQL.
struct FakeDatabase {
  struct Statement {
    std::string sql;
    std::vector<SqlParam> params;
  };
  std::vector<Statement> statements;
  std::map<std::string, std::vector<SqlRow>> answers;
  int opened = 0;
  int closed = 0;
  bool refuse = false;
};

class FakeConnection : public DatabaseConnection {
 public:
  explicit FakeConnection(FakeDatabase& db) : db_(db) {}
  ~FakeConnection() override { ++db_.closed; }
  void Execute(const std::string& sql, const std::vector<SqlParam>& params) override {
    db_.statements.push_back({sql, params});
  }
  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlParam>& params) override {
    db_.statements.push_back({sql, params});
    auto it = db_.answers.find(sql);
    return it == db_.answers.end() ? std::vector<SqlRow>{} : it->second;
  }

 private:
  FakeDatabase& db_;
};

class RulesEditorTest : public testing::Test {
 protected:
  RulesEditorTest() {
    context_.open_database = [this](std::string& error) -> std::unique_ptr<DatabaseConnection> {
      if (db_.refuse) {
        error = "connection <refused>";
        return nullptr;
      }
      ++db_.opened;
      return std::make_unique<FakeConnection>(db_);
    };
    context_.queue_event = [this](std::string item) { queued_.push_back(std::move(item)); };
  }

  WebResponse Run(const std::vector<std::string>& params, const std::string& db_path = "/db") {
    std::string text;
    for (const std::string& line : params) text += line + "\r\n";
    return RulesEditor(context_).Handle(params, text, db_path);
  }

  std::vector<std::string> Sql() const {
    std::vector<std::string> sql;
    for (const auto& s : db_.statements) sql.push_back(s.sql);
    return sql;
  }

  // The value bound to `name` in statement `i`, as text.
  std::string Param(size_t i, const std::string& name) const {
    for (const SqlParam& p : db_.statements.at(i).params) {
      if (p.name != name) continue;
      if (auto* text = std::get_if<std::string>(&p.value)) return *text;
      return "#" + std::to_string(std::get<int64_t>(p.value));
    }
    return "(unbound)";
  }

  static std::vector<std::string> Form(std::string controller, std::string change_id = "") {
    return {"dvs=" + controller,
            "event=1",
            "cam=3",
            "quality=90",
            "delay=9999",
            "multiframe=1",
            "s_handle=3848123456789",
            "changeid=" + change_id};
  }

  WebContext context_;
  FakeDatabase db_;
  std::vector<std::string> queued_;
};

TEST_F(RulesEditorTest, DeleteByThirteenCharacterIdOnly) {
  WebResponse reply = Run({"delrule=1630850709123"});
  EXPECT_EQ(reply.status, 302);
  EXPECT_EQ(reply.location, "/rules");
  EXPECT_THAT(Sql(), testing::ElementsAre(link::sql::kDeleteRule));
  EXPECT_EQ(Param(0, "id"), "1630850709123");
  EXPECT_THAT(queued_, testing::ElementsAre("update"));
  EXPECT_EQ(db_.closed, db_.opened);

  // 12 characters, the id on a later line, or no database: nothing happens.
  for (const auto& [params, db_path] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"delrule=163085070912"}, "/db"},
           {{"x=1", "delrule=1630850709123"}, "/db"},
           {{"delrule=1630850709123"}, ""}}) {
    WebResponse again = Run(params, db_path);
    EXPECT_EQ(again.location, "/rules");
  }
  EXPECT_EQ(db_.opened, 1);
  EXPECT_EQ(queued_.size(), 1u);
}

TEST_F(RulesEditorTest, InsertsANewRuleWithTheFormValues) {
  WebResponse reply = Run(Form("0012A3B4C5D62"));
  EXPECT_EQ(reply.location, "/rules");
  ASSERT_THAT(Sql(), testing::ElementsAre(link::sql::kFindRule, link::sql::kInsertRule));
  EXPECT_EQ(Param(0, "dvs"), "0012A3B4C5D6");
  EXPECT_EQ(Param(0, "cam"), "#3");
  EXPECT_EQ(Param(0, "evnt"), "0004");  // entry with direction flag 2
  EXPECT_EQ(Param(1, "id").size(), 13u);
  EXPECT_EQ(Param(1, "qly"), "#90");
  EXPECT_EQ(Param(1, "dly"), "#5000");
  EXPECT_EQ(Param(1, "rgt"), "#2");
  EXPECT_EQ(Param(1, "mtl"), "#5");
  EXPECT_THAT(queued_, testing::ElementsAre("update"));
  EXPECT_EQ(db_.closed, 1);
}

TEST_F(RulesEditorTest, ADuplicateIsNotWritten) {
  db_.answers[link::sql::kFindRule] = {{"1630850709123"}};
  EXPECT_EQ(Run(Form("0012A3B4C5D62")).location, "/rules");
  EXPECT_THAT(Sql(), testing::ElementsAre(link::sql::kFindRule));
  EXPECT_TRUE(queued_.empty());
  EXPECT_EQ(db_.closed, 1);
}

TEST_F(RulesEditorTest, AChangeIdUpdatesAndExcludesItselfFromTheDuplicateTest) {
  Run(Form("0012A3B4C5D61", "1630850709123"));
  ASSERT_THAT(Sql(), testing::ElementsAre(link::sql::kFindOtherRule, link::sql::kUpdateRule));
  EXPECT_EQ(Param(0, "id"), "1630850709123");
  EXPECT_EQ(Param(1, "id"), "1630850709123");
  EXPECT_EQ(Param(1, "evnt"), "0002");
  EXPECT_THAT(queued_, testing::ElementsAre("update"));
}

TEST_F(RulesEditorTest, RefusedFormsTouchNoDatabase) {
  for (const std::vector<std::string>& form :
       {Form("0012A3B4C5D6"),
        std::vector<std::string>{"dvs=0012A3B4C5D61", "event=29", "cam=1", "s_handle=1"},
        std::vector<std::string>{"dvs=0012A3B4C5D61", "event=1", "cam=0", "s_handle=1"}}) {
    EXPECT_EQ(Run(form).location, "/rules");
  }
  EXPECT_EQ(Run(Form("0012A3B4C5D61"), "").location, "/rules");
  EXPECT_EQ(db_.opened, 0);
  EXPECT_TRUE(queued_.empty());
}

TEST_F(RulesEditorTest, PageReplies) {
  constexpr std::string_view kNotFound = "<p><strong>Правило не найдено</p>";
  EXPECT_EQ(Run({"editrule=163085070912"}).body, WrapPage(kNotFound));
  EXPECT_EQ(Run({"a=1", "editrule=1630850709123"}).body, WrapPage(kNotFound));
  EXPECT_EQ(db_.opened, 0);
  // A rule that no longer exists.
  EXPECT_EQ(Run({"editrule=1630850709123"}).body, WrapPage(kNotFound));
  EXPECT_EQ(db_.closed, db_.opened);
  // No database yet: the menu line alone.
  EXPECT_EQ(Run({}, "").body, WrapPage(kMenuLine));

  db_.answers[link::sql::kSelectRule] = {{"0012A3B4C5D6", "3", "0002", "90", "0", "0", "1"}};
  WebResponse edit = Run({"editrule=1630850709123"});
  EXPECT_THAT(edit.body, HasSubstr("Редактировать правило:"));
  EXPECT_THAT(Sql(), testing::Contains(link::sql::kSelectRuleList));

  db_.refuse = true;
  EXPECT_EQ(
      Run({}).body,
      WrapPage("<p><strong>Ошибка подключения к БД: connection &lt;refused&gt;</strong></p>"));
  EXPECT_THAT(Run(Form("0012A3B4C5D61")).body, HasSubstr("Ошибка подключения к БД"));
}

}  // namespace
}  // namespace kestrin::web
