#include "web/rules_form.h"

#include <algorithm>

#include "platform/text.h"
#include "web/event_codes.h"
#include "web/parameters.h"

namespace kestrin::web {
namespace {

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset of character `index` of UTF-8 text; the text's size when it has
// fewer characters.
size_t CharacterOffset(std::string_view text, size_t index) {
  size_t offset = 0;
  while (offset < text.size() && index > 0) {
    ++offset;
    while (offset < text.size() && IsContinuationByte(text[offset])) ++offset;
    --index;
  }
  return offset;
}

}  // namespace

std::string_view CharacterSpan(std::string_view text, size_t first, size_t count) {
  size_t begin = CharacterOffset(text, first);
  std::string_view rest = text.substr(begin);
  return rest.substr(0, CharacterOffset(rest, count));
}

int ParseWholeNumber(std::string_view text, int fallback) {
  return platform::ParseDecimal(text, {.blanks = true}).value_or(fallback);
}

RuleForm ParseRuleForm(const std::vector<std::string>& params) {
  RuleForm form;
  for (const std::string& line : params) {
    if (line.find("dvs=") != std::string::npos) {
      form.controller = RemoveAll(line, "dvs=");
    } else if (line.find("event=") != std::string::npos) {
      form.event_index = ParseWholeNumber(RemoveAll(line, "event="), 0);
    } else if (line.find("cam=") != std::string::npos) {
      form.camera = ParseWholeNumber(RemoveAll(line, "cam="), 0);
    } else if (line.find("quality=") != std::string::npos) {
      form.quality = ParseWholeNumber(RemoveAll(line, "quality="), 60);
    }
    if (line.find("multiframe=") != std::string::npos) {
      form.multiframe = ParseWholeNumber(RemoveAll(line, "multiframe="), 0);
    }
    if (line.find("delay=") != std::string::npos) {
      form.delay = ParseWholeNumber(RemoveAll(line, "delay="), 0);
    }
    if (line.find("changeid=") != std::string::npos) {
      form.change_id = RemoveAll(line, "changeid=");
    }
  }
  form.delay = std::clamp(form.delay, 0, kMaxRuleDelay);
  return form;
}

std::optional<RuleRecord> MakeRuleRecord(const RuleForm& form) {
  if (platform::CharacterCount(form.controller) != 13 || form.camera <= 0 ||
      form.event_index <= 0) {
    return std::nullopt;
  }
  std::string_view flag = CharacterSpan(form.controller, 12, 1);
  int direction = flag.size() == 1 && flag[0] >= '0' && flag[0] <= '9' ? flag[0] - '0' : 1;
  std::string_view code = EventCodeOf(form.event_index, direction);
  if (code.empty()) return std::nullopt;

  RuleRecord rule;
  rule.controller = std::string(CharacterSpan(form.controller, 0, 12));
  rule.camera = form.camera;
  rule.event_code = std::string(code);
  rule.quality = form.quality;
  rule.delay = form.delay;
  rule.rgt = form.multiframe > 0 ? 2 : 0;
  rule.mtl = form.multiframe > 0 ? 5 : 0;
  rule.change_id = form.change_id;
  return rule;
}

int64_t NewRuleId(const platform::LocalFields& now) {
  return (int64_t{now.year} - 1970) * 31536000000 + int64_t{now.month} * 2678400000 +
         int64_t{now.day} * 86400000 + int64_t{now.hour} * 3600000 + int64_t{now.minute} * 60000 +
         int64_t{now.second} * 1000 + now.millisecond;
}

}  // namespace kestrin::web
