#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/local_time.h"

namespace kestrin::platform {
namespace {

// The one decimal reader under each caller's rules: the event codes (plain),
// the settings file and the web forms (blanks around), the command line's
// ports (no '+').
TEST(ParseDecimalTest, RulesOfEachCaller) {
  constexpr DecimalRules kPlain{};
  constexpr DecimalRules kBlanks{.blanks = true};
  constexpr DecimalRules kNoPlus{.plus = false};
  struct Case {
    const char* text;
    std::optional<int32_t> plain, blanks, no_plus;
  } cases[] = {
      {"42", 42, 42, 42},
      {"007", 7, 7, 7},
      {"-7", -7, -7, -7},
      {"+3", 3, 3, std::nullopt},
      {" 5\t", std::nullopt, 5, std::nullopt},
      {"1 2", std::nullopt, std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt, std::nullopt},
      {" ", std::nullopt, std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt, std::nullopt},
      {"+-5", std::nullopt, std::nullopt, std::nullopt},
      {"--5", std::nullopt, std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt, std::nullopt},
      {"2147483647", 2147483647, 2147483647, 2147483647},
      {"-2147483648", INT32_MIN, INT32_MIN, INT32_MIN},
      {"2147483648", std::nullopt, std::nullopt, std::nullopt},
      {"99999999999", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseDecimal(c.text, kPlain), c.plain);
    EXPECT_EQ(ParseDecimal(c.text, kBlanks), c.blanks);
    EXPECT_EQ(ParseDecimal(c.text, kNoPlus), c.no_plus);
  }
}

TEST(TextTest, TrimLowerAndCharacters) {
  EXPECT_EQ(Trim(" \t a b \t"), "a b");
  EXPECT_EQ(Trim("\r\n a\r"), "\r\n a\r");
  EXPECT_EQ(Trim("\r\n a\r\x01", IsSpaceOrControl), "a");
  EXPECT_EQ(Trim(" \t "), "");
  EXPECT_EQ(Lower("WebSocket Ä"), "websocket Ä");
  EXPECT_EQ(CharacterCount(""), 0u);
  EXPECT_EQ(CharacterCount("вход1"), 5u);
}

TEST(CalendarTest, LeapYearsAndMonthLengths) {
  struct Case {
    int year, month, days;
  } cases[] = {{2024, 2, 29}, {2023, 2, 28}, {1900, 2, 28}, {2000, 2, 29},
               {2023, 1, 31}, {2023, 4, 30}, {2023, 12, 31}};
  for (const Case& c : cases) {
    EXPECT_EQ(DaysInMonth(c.year, c.month), c.days) << c.year << "-" << c.month;
    EXPECT_EQ(IsLeapYear(c.year), c.month == 2 && c.days == 29) << c.year;
  }
}

}  // namespace
}  // namespace kestrin::platform
