#include "capture/event_parsing.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <iterator>
#include <string>
#include <vector>

#include "service/bounded_json.h"

namespace kestrin::capture {
namespace {

std::string Fields(const platform::LocalFields& t) {
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour,
                     t.minute, t.second);
}

// nullptr in `time` or `code`: the message is invalid.
struct ParseCase {
  const char* message;
  const char* time;
  const char* controller;
  const char* code;
};

TEST(EventParsingTest, Messages) {
  const ParseCase cases[] = {
      // The demonstration event's shape.
      {R"({"type":"event", "version":1, "time":"2021-08-12T14:05:09","dvs":"0012A3B4C5D6",)"
       R"("ror":"1","ev1":"2","ev2":"4","key":"0","id":"15900"})",
       "2021-08-12 14:05:09", "0012A3B4C5D6", "0204"},
      // A zone or fraction after the seconds is ignored.
      {R"({"time":"2021-08-12T14:05:09+03:00","dvs":"A","ev1":"208","ev2":"1"})",
       "2021-08-12 14:05:09", "A", "D001"},
      {R"({"time":"2021-08-12 14:05:09.123","dvs":"A","ev1":"0","ev2":"0"})", "2021-08-12 14:05:09",
       "A", "0000"},
      // Missing time and controller read as empty text.
      {R"({"ev1":"2","ev2":"4"})", "1900-01-01 00:00:00", "", "0204"},
      // ev1 above 255 gives five digits; a negative value its 32-bit form.
      {R"({"ev1":"256","ev2":"0"})", "1900-01-01 00:00:00", "", "10000"},
      {R"({"ev1":"-1","ev2":"+7"})", "1900-01-01 00:00:00", "", "FFFFFFFF07"},
      // Fields that are not numbers take their defaults, each on its own.
      {R"({"time":"2021-xx-12Tab:05","ev1":"1","ev2":"1"})", "2021-01-12 00:05:00", "", "0101"},
      {R"({"time":"2024","ev1":"1","ev2":"1"})", "2024-01-01 00:00:00", "", "0101"},
      // Numbers where strings belong, and other JSON types.
      {R"({"ev1":2,"ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"ev1":"2","ev2":"4","key":0})", nullptr, nullptr, nullptr},
      {R"({"ev1":"2","ev2":"4","id":null})", nullptr, nullptr, nullptr},
      {R"({"ev1":"2","ev2":"4","dvs":["A"]})", nullptr, nullptr, nullptr},
      // Event values that are not decimal 32-bit integers, or missing.
      {R"({"ev1":"0x2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"ev1":" 2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"ev1":"4294967296","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"ev1":"2"})", nullptr, nullptr, nullptr},
      // Impossible dates and times.
      {R"({"time":"2021-02-29T10:00:00","ev1":"2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"time":"2021-13-01T10:00:00","ev1":"2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"time":"2021-01-01T24:00:00","ev1":"2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"time":"0000-01-01T00:00:00","ev1":"2","ev2":"4"})", nullptr, nullptr, nullptr},
      {R"({"time":"2021-00-01","ev1":"2","ev2":"4"})", nullptr, nullptr, nullptr},
      // Not a JSON object.
      {"update", nullptr, nullptr, nullptr},
      {R"(["ev1","2"])", nullptr, nullptr, nullptr},
      {R"("text")", nullptr, nullptr, nullptr},
      {R"({"ev1":"2","ev2":"4")", nullptr, nullptr, nullptr},
      {"", nullptr, nullptr, nullptr},
  };
  std::vector<ParseCase> all(std::begin(cases), std::end(cases));
  // Nesting of other members: fine within the limit, refused beyond it.
  const std::string event = R"({"ev1":"2","ev2":"4","x":)";
  const std::string deepest = event + std::string(63, '[') + std::string(63, ']') + "}";
  const std::string deeper = event + std::string(64, '[') + std::string(64, ']') + "}";
  const std::string hostile = event + std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::string huge = event + "\"" + std::string(service::kMaxJsonBytes, 'x') + "\"}";
  all.push_back({deepest.c_str(), "1900-01-01 00:00:00", "", "0204"});
  for (const std::string* refused : {&deeper, &hostile, &huge})
    all.push_back({refused->c_str(), nullptr, nullptr, nullptr});
  for (const ParseCase& c : all) {
    SCOPED_TRACE(std::string(c.message).substr(0, 80));
    std::optional<Event> event = ParseEvent(c.message);
    if (!c.code) {
      EXPECT_FALSE(event.has_value());
      continue;
    }
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(Fields(event->time), c.time);
    EXPECT_EQ(event->controller, c.controller);
    EXPECT_EQ(event->event_code, c.code);
  }
}

TEST(EventParsingTest, TimePositionsCountCharactersNotBytes) {
  // A two-byte character in position 5 must not shift the month.
  auto time = ParseEventTime("2021ж08-12T14:05:09");
  ASSERT_TRUE(time.has_value());
  EXPECT_EQ(Fields(*time), "2021-08-12 14:05:09");
}

}  // namespace
}  // namespace kestrin::capture
