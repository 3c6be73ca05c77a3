#include "capture/rule.h"

#include "platform/codepage.h"

namespace kestrin::capture {
namespace {

constexpr size_t kControllerWidth = 12;
constexpr size_t kEventCodeWidth = 4;

std::string CutText(std::string_view cp1251, size_t width) {
  return platform::Cp1251ToUtf8(cp1251.substr(0, width));
}

}  // namespace

Rule MakeRule(std::string_view dvs, int64_t cam, std::string_view evnt, int64_t qly, int64_t dly,
              int64_t rgt, int64_t mtl) {
  Rule rule;
  rule.controller = CutText(dvs, kControllerWidth);
  rule.event_code = CutText(evnt, kEventCodeWidth);
  rule.camera = static_cast<uint8_t>(cam);
  rule.quality = static_cast<uint8_t>(qly);
  rule.delay = static_cast<int32_t>(dly);
  rule.multi_frame = rgt == 2 ? static_cast<uint8_t>(mtl) : 0;
  return rule;
}

const Rule* FindRule(const std::vector<Rule>& rules, std::string_view controller,
                     std::string_view event_code) {
  for (const Rule& rule : rules) {
    if (rule.controller == controller && rule.event_code == event_code) return &rule;
  }
  return nullptr;
}

}  // namespace kestrin::capture
