#include "capture/event_parsing.h"

#include <cstdint>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/codepage.h"
#include "platform/local_time.h"
#include "platform/text.h"
#include "service/bounded_json.h"

namespace kestrin::capture {
namespace {

// Characters `first`..`first + count - 1` (counted from 1) of `text`, as far
// as they exist.
std::string_view Characters(std::string_view text, size_t first, size_t count) {
  if (text.size() < first) return {};
  return text.substr(first - 1, count);
}

int FieldOrDefault(std::string_view time, size_t first, size_t count, int fallback) {
  auto value = platform::ParseDecimal(Characters(time, first, count));
  return value ? *value : fallback;
}

bool IsValidDateTime(const platform::LocalFields& t) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12) return false;
  return t.day >= 1 && t.day <= platform::DaysInMonth(t.year, t.month) && t.hour >= 0 &&
         t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

std::string Hex2(int32_t value) {
  return fmt::format("{:02X}", static_cast<uint32_t>(value));
}

}  // namespace

std::optional<platform::LocalFields> ParseEventTime(std::string_view time) {
  // Positions count characters; the eight-bit form has one byte per character.
  std::string chars = platform::Utf8ToCp1251(time);
  platform::LocalFields t;
  t.year = FieldOrDefault(chars, 1, 4, 1900);
  t.month = FieldOrDefault(chars, 6, 2, 1);
  t.day = FieldOrDefault(chars, 9, 2, 1);
  t.hour = FieldOrDefault(chars, 12, 2, 0);
  t.minute = FieldOrDefault(chars, 15, 2, 0);
  t.second = FieldOrDefault(chars, 18, 2, 0);
  if (!IsValidDateTime(t)) return std::nullopt;
  return t;
}

std::optional<std::string> MakeEventCode(std::string_view ev1, std::string_view ev2) {
  auto first = platform::ParseDecimal(ev1);
  auto second = platform::ParseDecimal(ev2);
  if (!first || !second) return std::nullopt;
  return Hex2(*first) + Hex2(*second);
}

std::optional<Event> ParseEvent(std::string_view text) {
  nlohmann::json message = service::ParseBoundedJson(text);
  if (!message.is_object()) return std::nullopt;

  // Each member read is a string when present; missing reads as empty.
  std::string members[6];
  static constexpr const char* kNames[6] = {"time", "dvs", "ev1", "ev2", "key", "id"};
  for (int i = 0; i < 6; ++i) {
    auto it = message.find(kNames[i]);
    if (it == message.end()) continue;
    if (!it->is_string()) return std::nullopt;
    members[i] = it->get<std::string>();
  }

  auto time = ParseEventTime(members[0]);
  if (!time) return std::nullopt;
  auto code = MakeEventCode(members[2], members[3]);
  if (!code) return std::nullopt;
  return Event{*time, std::move(members[1]), std::move(*code)};
}

}  // namespace kestrin::capture
