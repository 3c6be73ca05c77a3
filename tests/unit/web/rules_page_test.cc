#include "web/rules_page.h"

#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "web/page.h"

namespace kestrin::web {
namespace {

using testing::HasSubstr;
using testing::Not;

std::vector<SqlRow> Controllers() {
  return {{"0012A3B4C5D6", "Вход <главный>", "2"}, {"00AABBCCDDEE", "Склад", std::nullopt}};
}

// id, dvs, name, cam, evnt, qly, vor, dly, mtl
std::vector<SqlRow> Rules() {
  return {
      {"1630850709123", "0012A3B4C5D6", "Вход <главный>", "3", "0004", "90", "2", "250", "5"},
      {"1630850709555", "00AABBCCDDEE", "Склад", "1", "0001", "100", std::nullopt, std::nullopt,
       "0"},
      // Controller missing from FB_DVS, code not in the table.
      {"1630850709777", "FFFFFFFFFFFF", std::nullopt, "2", "ABCD", "100", std::nullopt, "0", "0"},
  };
}

TEST(RulesPage, AddModeFormAndList) {
  std::string body = RulesPageBody(std::nullopt, Controllers(), Rules(), 3848123456789);

  EXPECT_EQ(body.find(kMenuLine), 0u);
  EXPECT_THAT(body, HasSubstr("<form method=\"post\"><p><strong>Добавить новое правило:</strong>"
                              "</p><table border=\"0\"><tr><td>Контроллер:</td><td><select "
                              "name=\"dvs\" id=\"dvs\"><option value=\"0012A3B4C5D62\">"
                              "[0012A3B4C5D6] Вход &lt;главный&gt;</option><option "
                              "value=\"00AABBCCDDEE\">[00AABBCCDDEE] Склад</option></select>"
                              "</td></tr>"));
  EXPECT_THAT(body, HasSubstr("<option value=\"1\">доступ разрешен - вход</option>"));
  EXPECT_THAT(body, HasSubstr("<option value=\"21\">взлом</option>"));
  EXPECT_THAT(body,
              HasSubstr("<option value=\"100\">100</option><option value=\"90\">90</option>"));
  EXPECT_THAT(body, Not(HasSubstr("selected")));
  EXPECT_THAT(body, HasSubstr("max=\"5000\" value=\"0\">&nbsp;<i>1000 мс = 1 секунда</i>"));
  EXPECT_THAT(body, HasSubstr("<input type=\"hidden\" name=\"s_handle\" id=\"s_handle\" "
                              "value=\"3848123456789\"><input type=\"hidden\" name=\"changeid\" "
                              "id=\"changeid\" value=\"\"><tr><td>&nbsp;</td><td><input "
                              "type=\"submit\" value=\"добавить правило\"></td></tr></table>"
                              "</form><hr><table><tr><th>Контроллер</th>"));
  EXPECT_THAT(body, Not(HasSubstr("class=\"warn\"")));

  // VOR 2: code 0004 is entry; the name is HTML-escaped.
  EXPECT_THAT(body,
              HasSubstr("<tr><td>[0012A3B4C5D6] Вход &lt;главный&gt;</td><td>доступ разрешен - "
                        "вход</td><td>3</td><td>90</td><td>250</td><td>да</td><td>[<a "
                        "href=\"/rules/?editrule=1630850709123\">править</a>] [<a "
                        "href=\"/rules/?delrule=1630850709123\">удалить</a>] [<a "
                        "target=\"_blank\" href=\"/demotest/?ruleid=1630850709123\">тест</a>]"
                        "</td></tr>"));
  // No VOR counts as 0; break-in shown in capitals; a missing delay shows 0.
  EXPECT_THAT(body, HasSubstr("<tr><td>[00AABBCCDDEE] Склад</td><td>ВЗЛОМ</td><td>1</td><td>100"
                              "</td><td>0</td><td>нет</td>"));
  EXPECT_THAT(body, HasSubstr("<tr><td>[FFFFFFFFFFFF] </td><td></td><td>2</td>"));
  EXPECT_TRUE(body.ends_with("тест</a>]</td></tr></table>"));
}

TEST(RulesPage, EditModeMarksTheRuleAndPreselectsItsValues) {
  // a.dvs, a.cam, a.evnt, a.qly, a.dly, a.mtl, b.vor
  EditedRule edit =
      EditedRuleFromRow("1630850709123", {"0012A3B4C5D6", "3", "0004", "90", "250", "5", "2"});
  EXPECT_EQ(edit.event_index, 1);

  std::string body = RulesPageBody(edit, Controllers(), Rules(), 3848123456789);
  EXPECT_THAT(body, HasSubstr("<p><strong>Редактировать правило:</strong></p>"));
  EXPECT_THAT(body, HasSubstr("<option selected value=\"0012A3B4C5D62\">[0012A3B4C5D6]"));
  EXPECT_THAT(body, HasSubstr("<option selected value=\"1\">доступ разрешен - вход</option>"));
  EXPECT_THAT(body, HasSubstr("<option selected value=\"3\">3</option>"));
  EXPECT_THAT(body, HasSubstr("<option selected value=\"90\">90</option>"));
  EXPECT_THAT(body, HasSubstr("max=\"5000\" value=\"250\">"));
  EXPECT_THAT(body, HasSubstr("<option value=\"0\">нет</option><option value=\"1\" "
                              "selected>да</option>"));
  EXPECT_THAT(body, HasSubstr("<input type=\"hidden\" name=\"changeid\" id=\"changeid\" "
                              "value=\"1630850709123\"><tr><td>&nbsp;</td><td><input "
                              "type=\"submit\" value=\"изменить правило\">&nbsp;&nbsp;&nbsp;<a "
                              "href=\"/rules\"><input type=\"button\" value=\"отмена\"></a>"
                              "</td></tr></table></form><hr>"));
  // Exactly the edited row is marked, in every cell.
  EXPECT_THAT(body, HasSubstr("<tr><td class=\"warn\">[0012A3B4C5D6] Вход &lt;главный&gt;</td>"
                              "<td class=\"warn\">доступ разрешен - вход</td><td class=\"warn\">3"
                              "</td><td class=\"warn\">90</td><td class=\"warn\">250</td><td "
                              "class=\"warn\">да</td><td class=\"warn\">[<a "
                              "href=\"/rules/?editrule=1630850709123\">"));
  EXPECT_THAT(body, HasSubstr("<tr><td>[00AABBCCDDEE] Склад</td>"));
}

TEST(RulesPage, EditedRuleWithUnusualValues) {
  // Unknown code preselects the first event; a quality off the list marks
  // no quality option; missing cells are 0.
  EditedRule edit = EditedRuleFromRow("1630850709777", {"FFFFFFFFFFFF", "2", "ABCD", "75",
                                                        std::nullopt, std::nullopt, std::nullopt});
  EXPECT_EQ(edit.event_index, 1);
  EXPECT_EQ(edit.delay, 0);
  EXPECT_EQ(edit.multiframe, 0);
  std::string body = RulesPageBody(edit, Controllers(), Rules(), 1);
  EXPECT_THAT(body, HasSubstr("<option selected value=\"1\">доступ разрешен - вход</option>"));
  EXPECT_THAT(body, Not(HasSubstr("<option selected value=\"0012A3B4C5D62\"")));
  EXPECT_THAT(body, HasSubstr("name=\"quality\" id=\"quality\"><option value=\"100\">100"));
  EXPECT_THAT(body, Not(HasSubstr("<option selected value=\"70\">")));
  EXPECT_THAT(body, HasSubstr("<option value=\"0\">нет</option><option value=\"1\">да</option>"));
}

}  // namespace
}  // namespace kestrin::web
