#include "web/rules_editor.h"

#include <memory>
#include <optional>

#include "link/database_statements.h"
#include "platform/text.h"
#include "web/page.h"
#include "web/parameters.h"
#include "web/rules_form.h"
#include "web/rules_page.h"

namespace kestrin::web {
namespace {

constexpr size_t kRuleIdLength = 13;
constexpr std::string_view kRuleNotFound = "<p><strong>Правило не найдено</p>";

// Opens a private connection; on failure `error` holds the database's message.
std::unique_ptr<DatabaseConnection> OpenDatabase(const WebContext& context, std::string& error) {
  error = "database layer unavailable";
  if (!context.open_database) return nullptr;
  return context.open_database(error);
}

}  // namespace

WebResponse DatabaseErrorReply(std::string_view error) {
  return WebResponse::Page("<p><strong>Ошибка подключения к БД: " + HtmlEscape(error) +
                           "</strong></p>");
}

WebResponse RulesEditor::Handle(const std::vector<std::string>& params, std::string_view param_text,
                                const std::string& db_path) const {
  if (ParamPresent(param_text, "delrule=")) return Delete(params, db_path);
  if (ParamPresent(param_text, "s_handle=")) return Save(params, db_path);
  return Page(params, param_text, db_path);
}

void RulesEditor::QueueUpdate() const {
  if (context_.queue_event) context_.queue_event("update");
}

WebResponse RulesEditor::Delete(const std::vector<std::string>& params,
                                const std::string& db_path) const {
  std::optional<std::string> id = ParamFirstLine(params, "delrule=");
  if (id && platform::CharacterCount(*id) == kRuleIdLength && !db_path.empty()) {
    std::string error;
    std::unique_ptr<DatabaseConnection> db = OpenDatabase(context_, error);
    if (!db) return DatabaseErrorReply(error);
    db->Execute(link::sql::kDeleteRule, {SqlParam{"id", *id}});
    QueueUpdate();
  }
  return WebResponse::Redirect("/rules");
}

WebResponse RulesEditor::Save(const std::vector<std::string>& params,
                              const std::string& db_path) const {
  std::optional<RuleRecord> rule = MakeRuleRecord(ParseRuleForm(params));
  if (!rule || db_path.empty()) return WebResponse::Redirect("/rules");

  std::string error;
  std::unique_ptr<DatabaseConnection> db = OpenDatabase(context_, error);
  if (!db) return DatabaseErrorReply(error);

  std::vector<SqlParam> key = {SqlParam{"dvs", rule->controller},
                               SqlParam{"cam", int64_t{rule->camera}},
                               SqlParam{"evnt", rule->event_code}};
  const bool editing = !rule->change_id.empty();
  std::vector<SqlParam> duplicate_params = key;
  if (editing) duplicate_params.push_back(SqlParam{"id", rule->change_id});
  const bool duplicate =
      !db->Query(editing ? link::sql::kFindOtherRule : link::sql::kFindRule, duplicate_params)
           .empty();
  if (duplicate) return WebResponse::Redirect("/rules");

  std::vector<SqlParam> values = key;
  values.push_back(SqlParam{"qly", int64_t{rule->quality}});
  values.push_back(SqlParam{"dly", int64_t{rule->delay}});
  values.push_back(SqlParam{"rgt", int64_t{rule->rgt}});
  values.push_back(SqlParam{"mtl", int64_t{rule->mtl}});
  if (editing) {
    values.push_back(SqlParam{"id", rule->change_id});
    db->Execute(link::sql::kUpdateRule, values);
  } else {
    values.push_back(
        SqlParam{"id", std::to_string(NewRuleId(platform::ToLocalFields(platform::Now())))});
    db->Execute(link::sql::kInsertRule, values);
  }
  QueueUpdate();
  return WebResponse::Redirect("/rules");
}

WebResponse RulesEditor::Page(const std::vector<std::string>& params, std::string_view param_text,
                              const std::string& db_path) const {
  std::optional<std::string> edit_id;
  if (ParamPresent(param_text, "editrule=")) {
    edit_id = ParamFirstLine(params, "editrule=");
    if (!edit_id || platform::CharacterCount(*edit_id) != kRuleIdLength) {
      return WebResponse::Page(kRuleNotFound);
    }
  }
  if (db_path.empty()) return WebResponse::Page(kMenuLine);

  std::string error;
  std::unique_ptr<DatabaseConnection> db = OpenDatabase(context_, error);
  if (!db) return DatabaseErrorReply(error);

  std::optional<EditedRule> edit;
  if (edit_id) {
    std::vector<SqlRow> rows = db->Query(link::sql::kSelectRule, {SqlParam{"id", *edit_id}});
    if (rows.empty()) return WebResponse::Page(kRuleNotFound);
    edit = EditedRuleFromRow(*edit_id, rows.front());
  }
  std::vector<SqlRow> controllers = db->Query(link::sql::kSelectControllers, {});
  std::vector<SqlRow> rules = db->Query(link::sql::kSelectRuleList, {});
  db.reset();  // closes the connection under the database lock
  return WebResponse::Page(RulesPageBody(edit, controllers, rules, MillisSince1900Now()));
}

}  // namespace kestrin::web
