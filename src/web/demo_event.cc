#include "web/demo_event.h"

#include <cctype>
#include <memory>

#include <fmt/format.h>

#include "capture/photo_naming.h"
#include "link/database_statements.h"
#include "platform/text.h"
#include "web/parameters.h"
#include "web/rules_form.h"

namespace kestrin::web {
namespace {

constexpr std::string_view kDemoError = "ошибка";

bool IsHexDigits(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// `text` as the inside of a JSON string.
std::string JsonEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += fmt::format("\\u{:04x}", u);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> DemoEventText(const platform::LocalFields& now,
                                         std::string_view controller, std::string_view code) {
  if (code.size() != 4 || !IsHexDigits(code)) return std::nullopt;
  const uint64_t ev1 = capture::DecodeHexPair(code.substr(0, 2)).value_or(0);
  const uint64_t ev2 = capture::DecodeHexPair(code.substr(2, 2)).value_or(0);
  return fmt::format(
      "{{\"type\":\"event\", \"version\":1, "
      "\"time\":\"{:04}-{:02}-{:02}T{:02}:{:02}:{:02}\",\"dvs\":\"{}\",\"ror\":\"1\","
      "\"ev1\":\"{}\",\"ev2\":\"{}\",\"key\":\"0\",\"id\":\"15900\"}}",
      now.year, now.month, now.day, now.hour, now.minute, now.second, JsonEscape(controller), ev1,
      ev2);
}

WebResponse DemoEventReply(const std::vector<std::string>& params, const std::string& db_path,
                           const WebContext& context) {
  std::optional<std::string> rule_id = ParamFirstLine(params, "ruleid=");
  if (!rule_id || platform::CharacterCount(*rule_id) != 13)
    return WebResponse::PlainText(kDemoError);

  std::string controller;
  std::string code;
  if (!db_path.empty()) {
    std::string error;
    std::unique_ptr<DatabaseConnection> db;
    if (context.open_database) db = context.open_database(error);
    if (!db) return WebResponse::PlainText(kDemoError);
    std::vector<SqlRow> rows = db->Query(link::sql::kSelectRuleEvent, {SqlParam{"rule", *rule_id}});
    if (!rows.empty() && rows.front().size() >= 3) {
      controller = rows.front()[1].value_or("");
      code = rows.front()[2].value_or("");
    }
  }
  if (controller.empty() || platform::CharacterCount(code) != 4)
    return WebResponse::PlainText(kDemoError);

  std::optional<std::string> event =
      DemoEventText(platform::ToLocalFields(platform::Now()), controller, code);
  if (!event || !context.queue_event) return WebResponse::PlainText(kDemoError);
  context.queue_event(std::move(*event));
  return WebResponse::Page("<p>демонстрационное событие сгенерировано</p>");
}

}  // namespace kestrin::web
