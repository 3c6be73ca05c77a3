#include "web/rules_page.h"

#include <fmt/format.h>

#include "web/event_codes.h"
#include "web/page.h"
#include "web/rules_form.h"

namespace kestrin::web {
namespace {

// Cell `i` of a row as text; a null or missing cell is empty.
std::string Cell(const SqlRow& row, size_t i) {
  return i < row.size() && row[i] ? *row[i] : std::string();
}

// Cell `i` of a row as a number; a null cell or other text is 0.
int NumberCell(const SqlRow& row, size_t i) {
  return ParseWholeNumber(Cell(row, i), 0);
}

// An <option> of a selection whose value and text are both `n`.
void AppendNumberOption(std::string& out, int n, bool selected) {
  out += selected ? "<option selected value=\"" : "<option value=\"";
  out += fmt::format("{0}\">{0}</option>", n);
}

void AppendControllerSelection(std::string& out, const std::optional<EditedRule>& edit,
                               const std::vector<SqlRow>& controllers) {
  out += "<tr><td>Контроллер:</td><td><select name=\"dvs\" id=\"dvs\">";
  for (const SqlRow& row : controllers) {
    const std::string id = Cell(row, 0);
    const bool selected = edit && id == edit->controller;
    out += selected ? "<option selected value=\"" : "<option value=\"";
    out += HtmlEscape(id + Cell(row, 2));
    out += "\">[";
    out += HtmlEscape(id);
    out += "] ";
    out += HtmlEscape(Cell(row, 1));
    out += "</option>";
  }
  out += "</select></td></tr>";
}

void AppendEventSelection(std::string& out, const std::optional<EditedRule>& edit) {
  out += "<tr><td>Событие:</td><td><select name=\"event\" id=\"event\">";
  for (int i = 1; i <= kEventKindCount; ++i) {
    const bool selected = edit && edit->event_index == i;
    out += selected ? "<option selected value=\"" : "<option value=\"";
    out += fmt::format("{}\">{}</option>", i, EventListName(i));
  }
  out += "</select></td></tr>";
}

void AppendForm(std::string& out, const std::optional<EditedRule>& edit,
                const std::vector<SqlRow>& controllers, int64_t form_mark) {
  out += edit ? "<form method=\"post\"><p><strong>Редактировать правило:</strong></p>"
                "<table border=\"0\">"
              : "<form method=\"post\"><p><strong>Добавить новое правило:</strong></p>"
                "<table border=\"0\">";
  AppendControllerSelection(out, edit, controllers);
  AppendEventSelection(out, edit);

  out += "<tr><td>Камера:</td><td><select name=\"cam\" id=\"cam\">";
  for (int n = 1; n <= 9; ++n) AppendNumberOption(out, n, edit && edit->camera == n);
  out += "</select></td></tr>";

  out += "<tr><td>Качество кадра:</td><td><select name=\"quality\" id=\"quality\">";
  for (int q = 100; q >= 10; q -= 10) AppendNumberOption(out, q, edit && edit->quality == q);
  out += "</select>&nbsp;<i>100 - максимальное качество и размер файла</i></td></tr>";

  out += fmt::format(
      "<tr><td>Задержка (мс):</td><td><input type=\"number\" name=\"delay\" id=\"delay\" "
      "min=\"0\" max=\"5000\" value=\"{}\">&nbsp;<i>1000 мс = 1 секунда</i></td></tr>",
      edit ? edit->delay : 0);

  out += "<tr><td>Мультикадр:</td><td><select name=\"multiframe\" id=\"multiframe\">";
  out += edit && edit->multiframe > 0
             ? "<option value=\"0\">нет</option><option value=\"1\" selected>да</option>"
             : "<option value=\"0\">нет</option><option value=\"1\">да</option>";
  out += "</select></td></tr>";

  out += fmt::format("<input type=\"hidden\" name=\"s_handle\" id=\"s_handle\" value=\"{}\">",
                     form_mark);
  if (edit) {
    out += "<input type=\"hidden\" name=\"changeid\" id=\"changeid\" value=\"";
    out += HtmlEscape(edit->id);
    out +=
        "\"><tr><td>&nbsp;</td><td><input type=\"submit\" value=\"изменить правило\">"
        "&nbsp;&nbsp;&nbsp;<a href=\"/rules\"><input type=\"button\" value=\"отмена\"></a>"
        "</td></tr></table>";
  } else {
    out +=
        "<input type=\"hidden\" name=\"changeid\" id=\"changeid\" value=\"\">"
        "<tr><td>&nbsp;</td><td><input type=\"submit\" value=\"добавить правило\">"
        "</td></tr></table>";
  }
  out += "</form><hr>";
}

// One row of the rules list; the row of the rule being edited is marked.
void AppendRuleRow(std::string& out, const SqlRow& row, bool marked) {
  const std::string id = HtmlEscape(Cell(row, 0));
  std::string delay = Cell(row, 7);
  if (delay.empty()) delay = "0";
  const int direction = NumberCell(row, 6);
  const std::string_view open = marked ? "<td class=\"warn\">" : "<td>";

  out += "<tr>";
  out += open;
  out += "[" + HtmlEscape(Cell(row, 1)) + "] " + HtmlEscape(Cell(row, 2)) + "</td>";
  out += open;
  out += EventNameOfCode(Cell(row, 4), direction);
  out += "</td>";
  out += open;
  out += HtmlEscape(Cell(row, 3)) + "</td>";
  out += open;
  out += HtmlEscape(Cell(row, 5)) + "</td>";
  out += open;
  out += HtmlEscape(delay) + "</td>";
  out += open;
  out += NumberCell(row, 8) != 0 ? "да" : "нет";
  out += "</td>";
  out += open;
  out += fmt::format(
      "[<a href=\"/rules/?editrule={0}\">править</a>] [<a href=\"/rules/?delrule={0}\">"
      "удалить</a>] [<a target=\"_blank\" href=\"/demotest/?ruleid={0}\">тест</a>]</td></tr>",
      id);
}

}  // namespace

EditedRule EditedRuleFromRow(std::string id, const SqlRow& row) {
  EditedRule rule;
  rule.id = std::move(id);
  rule.controller = Cell(row, 0);
  rule.camera = NumberCell(row, 1);
  rule.event_index = EventIndexOfCode(Cell(row, 2), NumberCell(row, 6));
  rule.quality = NumberCell(row, 3);
  rule.delay = NumberCell(row, 4);
  rule.multiframe = NumberCell(row, 5);
  return rule;
}

std::string RulesPageBody(const std::optional<EditedRule>& edit,
                          const std::vector<SqlRow>& controllers, const std::vector<SqlRow>& rules,
                          int64_t form_mark) {
  std::string out(kMenuLine);
  AppendForm(out, edit, controllers, form_mark);
  out +=
      "<table><tr><th>Контроллер</th><th>Событие</th><th>Камера</th><th>Качество</th>"
      "<th>Задержка</th><th>МК</th><th>Действие</th></tr>";
  for (const SqlRow& row : rules) AppendRuleRow(out, row, edit && Cell(row, 0) == edit->id);
  out += "</table>";
  return out;
}

}  // namespace kestrin::web
