#include "web/event_codes.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace kestrin::web {
namespace {

// Every kind's code maps back to that kind and its name, for both mountings.
TEST(EventCodes, LookupsAreMutuallyConsistentForEveryKind) {
  for (int direction : {1, 0, 2, -7}) {
    std::set<std::string> codes;
    for (int index = 1; index <= kEventKindCount; ++index) {
      SCOPED_TRACE("direction " + std::to_string(direction) + ", index " + std::to_string(index));
      std::string_view code = EventCodeOf(index, direction);
      ASSERT_EQ(code.size(), 4u);
      codes.insert(std::string(code));
      EXPECT_EQ(EventIndexOfCode(code, direction), index);
      if (index == 21) {
        EXPECT_EQ(EventNameOfCode(code, direction), "ВЗЛОМ");
      } else {
        EXPECT_EQ(EventNameOfCode(code, direction), EventListName(index));
      }
    }
    EXPECT_EQ(codes.size(), 28u) << "every kind has its own code";
  }
}

// Rows 1-18 and 27-28 are entry/exit pairs that swap codes with the flag;
// rows 19-26 do not depend on it.
TEST(EventCodes, PairsSwapWithTheDirectionFlag) {
  for (int index = 1; index <= kEventKindCount; ++index) {
    SCOPED_TRACE(index);
    if (index >= 19 && index <= 26) {
      EXPECT_EQ(EventCodeOf(index, 1), EventCodeOf(index, 0));
    } else {
      int partner = index % 2 == 1 ? index + 1 : index - 1;
      EXPECT_EQ(EventCodeOf(index, 1), EventCodeOf(partner, 0));
      EXPECT_NE(EventCodeOf(index, 1), EventCodeOf(index, 0));
    }
  }
}

TEST(EventCodes, Lookups) {
  struct Case {
    std::string code;
    int direction;
    int index;
    std::string name;
  };
  const Case cases[] = {
      {"0002", 1, 1, "доступ разрешен - вход"},
      {"0002", 0, 2, "доступ разрешен - выход"},
      {"0002", 2, 2, "доступ разрешен - выход"},
      {"0004", 2, 1, "доступ разрешен - вход"},
      {"CF04", 1, 28, "ожидание подтверждения доступа - выход"},
      {"0001", 1, 21, "ВЗЛОМ"},
      {"0001", 0, 21, "ВЗЛОМ"},
      {"0A08", 1, 23, "нажата кнопка (программно)"},
      {"FF80", 5, 25, "контроллер включен"},
      // Compared exactly: case, length and unknown codes fall back.
      {"0a08", 1, 1, ""},
      {"0002 ", 1, 1, ""},
      {"002", 1, 1, ""},
      {"1234", 1, 1, ""},
      {"", 1, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code + " / " + std::to_string(c.direction));
    EXPECT_EQ(EventIndexOfCode(c.code, c.direction), c.index);
    EXPECT_EQ(EventNameOfCode(c.code, c.direction), c.name);
  }
}

TEST(EventCodes, IndexOutsideTheTableHasNoCodeOrName) {
  for (int index : {0, 29, -1, 1000}) {
    EXPECT_EQ(EventCodeOf(index, 1), "");
    EXPECT_EQ(EventCodeOf(index, 0), "");
    EXPECT_EQ(EventListName(index), "");
  }
  EXPECT_EQ(EventListName(1), "доступ разрешен - вход");
  EXPECT_EQ(EventListName(21), "взлом");
  EXPECT_EQ(EventListName(28), "ожидание подтверждения доступа - выход");
}

}  // namespace
}  // namespace kestrin::web
