#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"

namespace kestrin::web {

// --- Small text rules shared by the rules editor and the frame viewer. ---

// The characters [first, first + count) of UTF-8 text, clipped to its end.
std::string_view CharacterSpan(std::string_view text, size_t first, size_t count);

// A whole decimal number (optional sign, surrounding blanks allowed, 32-bit
// range); `fallback` when the text is not one.
int ParseWholeNumber(std::string_view text, int fallback);

// --- The rule form. ---

// Longest delay a rule may wait before its picture, in milliseconds.
inline constexpr int kMaxRuleDelay = 5000;

// The saved rule form as posted ("dvs=", "event=", "cam=", "quality=",
// "multiframe=", "delay=", "changeid=" lines), before any test.
struct RuleForm {
  std::string controller;  // controller number followed by its direction digit
  int event_index = 0;
  int camera = 0;
  int quality = 60;
  int delay = 0;  // clamped to 0..5000
  int multiframe = 0;
  std::string change_id;  // empty: a new rule
};

// Reads the form from the parameter list. Every line is examined: the first
// of "dvs=", "event=", "cam=", "quality=" that it contains sets that value;
// independently, "multiframe=", "delay=" and "changeid=" on the same line set
// theirs. A value is the line with every occurrence of its key removed; a
// later line overwrites an earlier one. Numbers that do not read fall back to
// 0 (quality: 60). The delay is clamped to 0..5000.
RuleForm ParseRuleForm(const std::vector<std::string>& params);

// A rule ready to be written, in the table's terms.
struct RuleRecord {
  std::string controller;  // FB_DVS.ID, 12 characters
  int camera = 0;
  std::string event_code;  // four hexadecimal digits
  int quality = 0;
  int delay = 0;
  int rgt = 0;  // 2 for a multi-frame rule, else 0
  int mtl = 0;  // 5 for a multi-frame rule, else 0
  std::string change_id;
};

// Checks a form and turns it into a rule. Nothing when the controller field
// is not 13 characters, the camera or the event index is not above 0, or the
// event index names no event kind. The 13th character of the controller
// field is the controller's direction flag (1 when it is not a digit).
std::optional<RuleRecord> MakeRuleRecord(const RuleForm& form);

// The id of a rule created at local time `now`: 13 decimal digits for
// present-day dates. Not unique by construction.
int64_t NewRuleId(const platform::LocalFields& now);

}  // namespace kestrin::web
