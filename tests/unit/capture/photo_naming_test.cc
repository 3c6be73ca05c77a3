#include "capture/photo_naming.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kestrin::capture {
namespace {

using platform::LocalFields;

LocalFields At(int year, int month, int day, int hour, int minute, int second) {
  LocalFields t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

auto Tie(const LocalFields& t) {
  return std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

struct TimePartCase {
  LocalFields time;
  int name_format;
  const char* expected;
};

TEST(PhotoNamingTest, TimePartFollowsNameFormat) {
  const TimePartCase cases[] = {
      {At(2021, 8, 12, 14, 5, 9), 0, "0C08150E0509"},
      {At(2021, 8, 12, 14, 5, 9), 1, "120821140509"},
      {At(2021, 8, 12, 14, 5, 9), 2, "210812140509"},
      {At(2021, 8, 12, 14, 5, 9), 7, "0C08150E0509"},  // unknown formats are hexadecimal
      {At(2021, 8, 12, 14, 5, 9), -1, "0C08150E0509"},
      {At(2000, 1, 1, 0, 0, 0), 0, "010100000000"},
      {At(2000, 1, 1, 0, 0, 0), 1, "010100000000"},
      {At(2000, 1, 1, 0, 0, 0), 2, "000101000000"},
      {At(2099, 12, 31, 23, 59, 59), 0, "1F0C63173B3B"},
      {At(2099, 12, 31, 23, 59, 59), 1, "311299235959"},
      {At(2099, 12, 31, 23, 59, 59), 2, "991231235959"},
      // Before 2000 the year is the 32-bit two's complement: longer than 12.
      {At(1999, 12, 31, 23, 59, 59), 0, "1F0CFFFFFFFF173B3B"},
      {At(1999, 12, 31, 23, 59, 59), 1, "311299235959"},
      // Beyond 2255 the year needs three digits.
      {At(2300, 1, 2, 3, 4, 5), 0, "020112C030405"},
  };
  for (const TimePartCase& c : cases) {
    EXPECT_EQ(MakeTimePart(c.time, c.name_format), c.expected)
        << c.time.year << " format " << c.name_format;
  }
}

TEST(PhotoNamingTest, NameAndPathOfOnePhoto) {
  LocalFields t = At(2021, 8, 12, 14, 5, 9);
  EXPECT_EQ(MakePhotoName("0012A3B4C5D6", t, 0), "0012A3B4C5D6_0C08150E0509");
  EXPECT_EQ(MakePhotoName("0012A3B4C5D6", platform::MakeLocalDateTime(2021, 8, 12, 14, 5, 9), 1),
            "0012A3B4C5D6_120821140509");
  // Short identifiers still name files.
  EXPECT_EQ(MakePhotoName("AB", t, 2), "AB_210812140509");

  EXPECT_EQ(MakePhotoPath("/srv/photos", "0012A3B4C5D6_0C08150E0509", kSingleFrameKind),
            "/srv/photos/0012A3B4C5D6_0C08150E05091.jpg");
  EXPECT_EQ(MakePhotoPath("/srv/photos", "0012A3B4C5D6_0C08150E0509", kMultiFrameKind),
            "/srv/photos/0012A3B4C5D6_0C08150E05092.jpg");
  // Every party spells a path the same way, whatever doubled separators the
  // folder setting holds.
  EXPECT_EQ(MakePhotoPath("/srv//photos/", "X_1", kSingleFrameKind), "/srv/photos/X_11.jpg");
  EXPECT_EQ(ArchiveFilePath("/srv/photos", "X_11"), MakePhotoPath("/srv/photos", "X_1", '1'));
}

TEST(PhotoNamingTest, LastFileNameIsTheSameInEveryFormat) {
  EXPECT_EQ(MakeLastFileName("0012A3B4C5D6", At(2021, 8, 12, 14, 5, 9)),
            "0012A3B4C5D620210812140509");
  EXPECT_EQ(MakeLastFileName("0012A3B4C5D6", At(2000, 1, 1, 0, 0, 0)),
            "0012A3B4C5D620000101000000");
}

TEST(PhotoNamingTest, HexPairDecoding) {
  EXPECT_EQ(DecodeHexPair(""), 0u);
  EXPECT_EQ(DecodeHexPair("0A"), 10u);
  EXPECT_EQ(DecodeHexPair("ff"), 255u);
  EXPECT_EQ(DecodeHexPair("fF80"), 0xFF80u);
  // Only the first 16 characters count.
  EXPECT_EQ(DecodeHexPair("FFFFFFFFFFFFFFFF"), UINT64_MAX);
  EXPECT_EQ(DecodeHexPair("000000000000000AZ"), 10u);
  EXPECT_EQ(DecodeHexPair("G1"), std::nullopt);
  EXPECT_EQ(DecodeHexPair("1 "), std::nullopt);
  EXPECT_EQ(DecodeHexPair("-1"), std::nullopt);
}

TEST(PhotoNamingTest, DecodeHexTimeReadsValidTimes) {
  const std::pair<const char*, LocalFields> cases[] = {
      {"0C08150E0509", At(2021, 8, 12, 14, 5, 9)},   {"0c08150e0509", At(2021, 8, 12, 14, 5, 9)},
      {"010100000000", At(2000, 1, 1, 0, 0, 0)},     {"1F0C63173B3B", At(2099, 12, 31, 23, 59, 59)},
      {"1D0218000000", At(2024, 2, 29, 0, 0, 0)},     // leap day
      {"1C02FF173B3B", At(2255, 2, 28, 23, 59, 59)},  // the last year two digits hold
  };
  for (const auto& [text, expected] : cases) {
    std::optional<LocalFields> decoded = DecodeHexTime(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    EXPECT_EQ(Tie(*decoded), Tie(expected)) << text;
  }
}

TEST(PhotoNamingTest, DecodeHexTimeRejectsInvalidTimes) {
  const char* cases[] = {
      "010D15000000",   // month 13
      "010015000000",   // month 0
      "000115000000",   // day 0
      "200415000000",   // 32 April
      "1F0415000000",   // 31 April
      "1D0215000000",   // 29 February 2021
      "1D02C8000000",   // 29 February 2200, no leap year
      "010115180000",   // hour 24
      "0101150A3C00",   // minute 60
      "0101150A003C",   // second 60
      "0C08150E05G9",   // not hexadecimal
      "0C08150E 509",   //
      "0C08150E050",    // 11 characters
      "0C08150E05090",  // 13 characters
      "",
  };
  for (const char* text : cases) EXPECT_EQ(DecodeHexTime(text), std::nullopt) << text;
}

TEST(PhotoNamingTest, StoredNameOfAnAddressedName) {
  struct Case {
    const char* addressed;
    int name_format;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"0012A3B4C5D6_0C08150E0509", 0, "0012A3B4C5D6_0C08150E0509"},
      {"0012A3B4C5D6_0c08150e0509", 0, "0012A3B4C5D6_0c08150e0509"},  // used unchanged
      {"0012A3B4C5D6_0C08150E0509", 1, "0012A3B4C5D6_120821140509"},
      {"0012A3B4C5D6_0C08150E0509", 2, "0012A3B4C5D6_210812140509"},
      {"0012A3B4C5D6-0c08150e0509", 2, "0012A3B4C5D6_210812140509"},  // any separator
      {"0012A3B4C5D6_010D150E0509", 0, "0012A3B4C5D6_010D150E0509"},  // not decoded
      {"0012A3B4C5D6_010D150E0509", 1, std::nullopt},                 // month 13
      {"0012A3B4C5D6_010D150E0509", 2, std::nullopt},
      {"0012A3B4C5D6_0C08150E050", 1, std::nullopt},    // 24 characters
      {"0012A3B4C5D6_0C08150E05091", 2, std::nullopt},  // 26 characters
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StoredPhotoName(c.addressed, c.name_format), c.expected)
        << c.addressed << " format " << c.name_format;
  }
}

}  // namespace
}  // namespace kestrin::capture
