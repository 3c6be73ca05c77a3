#include "web/rules_form.h"

#include "platform/text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestrin::web {
namespace {

TEST(RulesForm, ReadsEveryFieldAndClampsTheDelay) {
  struct Case {
    const char* name;
    std::vector<std::string> params;
    RuleForm expected;
  };
  const Case cases[] = {
      {"browser form",
       {"dvs=0012A3B4C5D62", "event=1", "cam=3", "quality=90", "delay=250", "multiframe=1",
        "s_handle=3848123456789", "changeid="},
       {"0012A3B4C5D62", 1, 3, 90, 250, 1, ""}},
      {"defaults", {"s_handle=1"}, {"", 0, 0, 60, 0, 0, ""}},
      {"unreadable numbers",
       {"event=x", "cam=", "quality=high", "delay=1s", "multiframe=yes"},
       {"", 0, 0, 60, 0, 0, ""}},
      {"delay above the range", {"delay=9999"}, {"", 0, 0, 60, 5000, 0, ""}},
      {"negative delay", {"delay=-5"}, {"", 0, 0, 60, 0, 0, ""}},
      {"hand-made values are not range-tested",
       {"cam=12", "quality=500", "changeid=1630850709123"},
       {"", 0, 12, 500, 0, 0, "1630850709123"}},
      {"a later line wins", {"cam=2", "cam=5"}, {"", 0, 5, 60, 0, 0, ""}},
      // Only the first of dvs/event/cam/quality counts on one line, and every
      // occurrence of the key is removed from the value.
      {"first key of a line wins",
       {"dvs=0012cam=34event=1"},
       {"0012cam=34event=1", 0, 0, 60, 0, 0, ""}},
      {"key removed everywhere", {"cam=cam=7"}, {"", 0, 7, 60, 0, 0, ""}},
      // multiframe, delay and changeid are read from any line as well.
      {"independent key on the same line",
       {"dvs=0012changeid=9"},
       {"0012changeid=9", 0, 0, 60, 0, 0, "dvs=00129"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuleForm form = ParseRuleForm(c.params);
    EXPECT_EQ(form.controller, c.expected.controller);
    EXPECT_EQ(form.event_index, c.expected.event_index);
    EXPECT_EQ(form.camera, c.expected.camera);
    EXPECT_EQ(form.quality, c.expected.quality);
    EXPECT_EQ(form.delay, c.expected.delay);
    EXPECT_EQ(form.multiframe, c.expected.multiframe);
    EXPECT_EQ(form.change_id, c.expected.change_id);
  }
}

TEST(RulesForm, MakesTheRuleFromControllerFieldAndEventIndex) {
  struct Case {
    const char* name;
    std::string controller;
    int event_index;
    int camera;
    int multiframe;
    bool accepted;
    std::string number;
    std::string code;
    int rgt;
    int mtl;
  };
  const Case cases[] = {
      {"flag 1", "0012A3B4C5D61", 1, 1, 0, true, "0012A3B4C5D6", "0002", 0, 0},
      {"flag 2 swaps the pair", "0012A3B4C5D62", 1, 1, 0, true, "0012A3B4C5D6", "0004", 0, 0},
      {"flag 0 swaps the pair", "0012A3B4C5D60", 28, 9, 0, true, "0012A3B4C5D6", "CF02", 0, 0},
      {"a non-digit flag counts as 1", "0012A3B4C5D6x", 2, 1, 0, true, "0012A3B4C5D6", "0004", 0,
       0},
      {"multi-frame", "0012A3B4C5D61", 25, 2, 3, true, "0012A3B4C5D6", "FF80", 2, 5},
      {"characters, not bytes", "Контроллер№71", 21, 1, 0, true, "Контроллер№7", "0001", 0, 0},
      {"camera 12 is accepted", "0012A3B4C5D61", 1, 12, 0, true, "0012A3B4C5D6", "0002", 0, 0},
      // Refused.
      {"controller without direction", "0012A3B4C5D6", 1, 1, 0, false, "", "", 0, 0},
      {"controller too long", "0012A3B4C5D612", 1, 1, 0, false, "", "", 0, 0},
      {"camera 0", "0012A3B4C5D61", 1, 0, 0, false, "", "", 0, 0},
      {"negative camera", "0012A3B4C5D61", 1, -1, 0, false, "", "", 0, 0},
      {"event 0", "0012A3B4C5D61", 0, 1, 0, false, "", "", 0, 0},
      {"event 29", "0012A3B4C5D61", 29, 1, 0, false, "", "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuleForm form;
    form.controller = c.controller;
    form.event_index = c.event_index;
    form.camera = c.camera;
    form.multiframe = c.multiframe;
    form.quality = 70;
    form.delay = 120;
    form.change_id = "1630850709123";
    std::optional<RuleRecord> rule = MakeRuleRecord(form);
    ASSERT_EQ(rule.has_value(), c.accepted);
    if (!rule) continue;
    EXPECT_EQ(rule->controller, c.number);
    EXPECT_EQ(rule->event_code, c.code);
    EXPECT_EQ(rule->camera, c.camera);
    EXPECT_EQ(rule->quality, 70);
    EXPECT_EQ(rule->delay, 120);
    EXPECT_EQ(rule->rgt, c.rgt);
    EXPECT_EQ(rule->mtl, c.mtl);
    EXPECT_EQ(rule->change_id, "1630850709123");
  }
}

TEST(RulesForm, NewRuleIdFromTheLocalClock) {
  EXPECT_EQ(NewRuleId({2021, 8, 12, 14, 5, 9, 123}), 1630850709123);
  EXPECT_EQ(std::to_string(NewRuleId({2026, 12, 31, 23, 59, 59, 999})).size(), 13u);
  EXPECT_EQ(NewRuleId({1970, 1, 1, 0, 0, 0, 0}), 2678400000 + 86400000);
}

TEST(RulesForm, TextHelpers) {
  EXPECT_EQ(platform::CharacterCount("abc"), 3u);
  EXPECT_EQ(platform::CharacterCount("вход"), 4u);
  EXPECT_EQ(CharacterSpan("вход-1", 2, 3), "од-");
  EXPECT_EQ(CharacterSpan("abc", 2, 5), "c");
  EXPECT_EQ(CharacterSpan("abc", 7, 1), "");

  struct Case {
    const char* text;
    int expected;
  };
  const Case numbers[] = {
      {"42", 42}, {" 7 ", 7},  {"+5", 5},    {"-5", -5},          {"", -1},
      {"4a", -1}, {"+-5", -1}, {"0x10", -1}, {"99999999999", -1}, {"2147483647", 2147483647}};
  for (const Case& c : numbers) EXPECT_EQ(ParseWholeNumber(c.text, -1), c.expected) << c.text;
}

}  // namespace
}  // namespace kestrin::web
