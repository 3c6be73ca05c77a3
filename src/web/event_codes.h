#pragma once

#include <string>
#include <string_view>

namespace kestrin::web {

// The access event kinds offered by the rules editor. Controllers report an
// event as a four-digit upper-case hexadecimal code; the editor shows one of
// 28 named kinds instead. Most kinds come in entry/exit pairs whose codes
// depend on how the controller is mounted: its direction flag (1: the first
// code of a pair means entry; any other value: the pair is swapped).

// Number of event kinds; indexes run from 1 to this.
inline constexpr int kEventKindCount = 28;

// The name of event kind `index` as the event selection lists it; empty
// outside 1..28.
std::string_view EventListName(int index);

// The code of event kind `index` for a controller with direction flag
// `direction`; empty outside 1..28.
std::string_view EventCodeOf(int index, int direction);

// The event kind whose code for `direction` is exactly `code` (letter case
// counts); 1 when no kind has that code.
int EventIndexOfCode(std::string_view code, int direction);

// The name shown for `code` in the rules list: the list name of its kind,
// except that "0001" is shown as "ВЗЛОМ"; empty when no kind has that code.
std::string_view EventNameOfCode(std::string_view code, int direction);

}  // namespace kestrin::web
