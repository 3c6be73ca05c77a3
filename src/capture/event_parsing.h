#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kestrin::capture {

// What the event thread takes from an event message.
struct Event {
  platform::LocalFields time;  // local event time, to the second
  std::string controller;      // "dvs"
  std::string event_code;      // ev1 and ev2 in hexadecimal, e.g. "0204"
};

// Parses an event message: a JSON object whose members "time", "dvs", "ev1",
// "ev2", "key" and "id" are strings when present (a missing one reads as
// empty text); other members are ignored. Nullopt for text that is not a JSON
// object or exceeds the limits of service::ParseBoundedJson, a member of
// another JSON type, an invalid time or an invalid event code.
std::optional<Event> ParseEvent(std::string_view text);

// The event time from "time" by character positions (from 1): year 1-4,
// month 6-7, day 9-10, hour 12-13, minute 15-16, second 18-19; further
// characters are ignored. A field that is not a decimal number takes its
// default (1900, 1, 1, 0, 0, 0). Nullopt when the fields form no valid date
// and time.
std::optional<platform::LocalFields> ParseEventTime(std::string_view time);

// The event code: ev1, then ev2, each a decimal integer written in upper-case
// hexadecimal with at least two digits ("2", "4" give "0204"; "256", "0" give
// "10000"; a negative value gives the eight digits of its 32-bit two's
// complement). Nullopt when either is not a decimal 32-bit integer.
std::optional<std::string> MakeEventCode(std::string_view ev1, std::string_view ev2);

}  // namespace kestrin::capture
