#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace kestrin::platform {
namespace {

TEST(CodepageTest, ConvertsBothWays) {
  struct Case {
    std::string utf8;
    std::string cp1251;
  } cases[] = {
      {"", ""},
      {"ASCII 123", "ASCII 123"},
      {"ВЗЛОМ ёЁ", "\xC2\xC7\xCB\xCE\xCC \xB8\xA8"},
      {"№ €", "\xB9 \x88"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251);
    EXPECT_EQ(Cp1251ToUtf8(c.cp1251), c.utf8);
  }
}

TEST(CodepageTest, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a日b"), "a?b");
  EXPECT_EQ(Utf8ToCp1251("x\xFFy"), "x?y");      // invalid UTF-8
  EXPECT_EQ(Utf8ToCp1251("tail\xD0"), "tail?");  // cut sequence
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "?");          // the one unassigned byte
}

}  // namespace
}  // namespace kestrin::platform
