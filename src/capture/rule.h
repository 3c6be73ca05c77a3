#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::capture {

// One photo rule of the rules table, as the event thread keeps it.
struct Rule {
  std::string controller;   // DVS, at most 12 characters
  std::string event_code;   // EVNT, at most 4 characters
  uint8_t camera = 0;       // CAM, camera number 1..9 (anything else takes no photo)
  uint8_t quality = 0;      // QLY, JPEG quality
  int32_t delay = 0;        // DLY, milliseconds before the first picture
  uint8_t multi_frame = 0;  // MTL when RGT is 2, otherwise 0; 0 means a single frame

  bool operator==(const Rule&) const = default;
};

// The rule of one row of the reload query, from the columns as the database
// returns them: texts in Windows-1251, NULL columns as empty text or 0. Texts
// are cut to their width (12 and 4 characters) and converted to UTF-8;
// integers keep the low bits of their field (CAM 265 gives camera 9).
Rule MakeRule(std::string_view dvs, int64_t cam, std::string_view evnt, int64_t qly, int64_t dly,
              int64_t rgt, int64_t mtl);

// The first rule of `rules` whose controller and event code equal the given
// ones (exact, case-sensitive), or nullptr. Later rules are never considered,
// whatever becomes of the first match.
const Rule* FindRule(const std::vector<Rule>& rules, std::string_view controller,
                     std::string_view event_code);

}  // namespace kestrin::capture
