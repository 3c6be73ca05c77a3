#include "service/bounded_json.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrin::service {
namespace {

std::string Nested(size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(BoundedJsonTest, DepthCountsBracketsOutsideStrings) {
  struct Case {
    std::string text;
    size_t max_depth;
    bool within;
  } cases[] = {
      {"", 0, true},
      {"1", 0, true},
      {"{}", 0, false},
      {"{}", 1, true},
      {R"({"a":[{"b":[]}]})", 4, true},
      {R"({"a":[{"b":[]}]})", 3, false},
      {"[][][][]", 1, true},  // siblings do not add up
      {R"(["[[[[", "{{{{"])", 1, true},
      {R"(["\"[[[["])", 1, true},       // an escaped quote does not end the string
      {R"(["\\", [[]]])", 2, false},    // an escaped backslash does
      {"]]]][[", 2, true},              // stray closers do not go below zero
      {Nested(64), 64, true},
      {Nested(65), 64, false},
      {std::string(100000, '['), 64, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(JsonDepthWithin(c.text, c.max_depth), c.within);
  }
}

TEST(BoundedJsonTest, ParsesWithinTheLimitsOnly) {
  EXPECT_EQ(ParseBoundedJson(R"({"a":"b"})")["a"], "b");
  nlohmann::json deepest = ParseBoundedJson(Nested(kMaxJsonDepth));
  ASSERT_FALSE(deepest.is_discarded());
  EXPECT_EQ(deepest.dump(), Nested(kMaxJsonDepth));
  EXPECT_TRUE(ParseBoundedJson(Nested(kMaxJsonDepth + 1)).is_discarded());
  EXPECT_TRUE(ParseBoundedJson(Nested(100000)).is_discarded());
  EXPECT_TRUE(ParseBoundedJson("{\"a\":").is_discarded());

  const std::string padded = "\"" + std::string(kMaxJsonBytes - 2, 'x') + "\"";
  EXPECT_EQ(ParseBoundedJson(padded).get<std::string>().size(), kMaxJsonBytes - 2);
  EXPECT_TRUE(ParseBoundedJson(padded + " ").is_discarded());
}

}  // namespace
}  // namespace kestrin::service
