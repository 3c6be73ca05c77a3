#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "web/web_context.h"

namespace kestrin::web {

// The rule being edited, as the edit form shows it.
struct EditedRule {
  std::string id;          // 13-digit rule id
  std::string controller;  // FB_IPD2.DVS
  int event_index = 1;     // of the stored code for the controller's direction flag
  int camera = 0;
  int quality = 0;
  int delay = 0;
  int multiframe = 0;
};

// The edited rule from the row of "SELECT a.dvs,a.cam,a.evnt,a.qly,a.dly,
// a.mtl,b.vor ..." (a missing value is empty text or 0).
EditedRule EditedRuleFromRow(std::string id, const SqlRow& row);

// The body of the rules page: the menu line, the form (edit mode when `edit`
// is given, otherwise add mode), the rules list. `controllers` are the rows of
// "SELECT id,name,vor FROM FB_DVS ...", `rules` those of "SELECT a.id,a.dvs,
// b.name,a.cam,a.evnt,a.qly,b.vor,a.dly,a.mtl ...". `form_mark` is the value
// of the hidden "s_handle" field. Every database value is HTML-escaped.
std::string RulesPageBody(const std::optional<EditedRule>& edit,
                          const std::vector<SqlRow>& controllers, const std::vector<SqlRow>& rules,
                          int64_t form_mark);

}  // namespace kestrin::web
