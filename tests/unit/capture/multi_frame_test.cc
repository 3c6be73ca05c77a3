#include "capture/multi_frame.h"

#include <gtest/gtest.h>

namespace kestrin::capture {
namespace {

TEST(MultiFrameTest, RecordHeadUsesTheSmallestTagThatHoldsTheLength) {
  const struct {
    int64_t length;
    std::string head;
  } cases[] = {
      {0, std::string("\x02\x00", 2)},
      {127, "\x02\x7F"},
      {-128, "\x02\x80"},
      {128, std::string("\x03\x80\x00", 3)},
      {-129, "\x03\x7F\xFF"},
      {32767, "\x03\xFF\x7F"},
      {32768, std::string("\x04\x00\x80\x00\x00", 5)},
      {2147483647, "\x04\xFF\xFF\xFF\x7F"},
      {2147483648LL, std::string("\x13\x00\x00\x00\x80\x00\x00\x00\x00", 9)},
  };
  for (const auto& c : cases) EXPECT_EQ(MultiFrameRecordHead(c.length), c.head) << c.length;
}

TEST(MultiFrameTest, ReadsBackEveryRecordInTurn) {
  const std::string small(100, 'a');
  const std::string medium(300, 'b');
  const std::string large(40000, 'c');
  const std::string file = MultiFrameRecordHead(100) + small + MultiFrameRecordHead(300) + medium +
                           MultiFrameRecordHead(40000) + large;
  EXPECT_EQ(file[0], 0x02);
  auto pictures = ParseMultiFrame(file);
  ASSERT_TRUE(pictures);
  ASSERT_EQ(pictures->size(), 3u);
  EXPECT_EQ((*pictures)[0], small);
  EXPECT_EQ((*pictures)[1], medium);
  EXPECT_EQ((*pictures)[2], large);
  EXPECT_EQ(FirstMultiFramePicture(file), small);

  // An 8-byte length is read as well (a reader finds records until the end).
  const std::string wide = std::string("\x13\x03\0\0\0\0\0\0\0xyz", 12);
  ASSERT_TRUE(ParseMultiFrame(wide));
  EXPECT_EQ(ParseMultiFrame(wide)->at(0), "xyz");
  // The frame viewer reads only the tags 0x02, 0x03 and 0x04.
  EXPECT_FALSE(FirstMultiFramePicture(wide));

  EXPECT_TRUE(ParseMultiFrame("")->empty());
}

TEST(MultiFrameTest, RejectsDamagedFiles) {
  const std::string good = MultiFrameRecordHead(3) + "abc";
  const std::string damaged[] = {
      "\x05\x03xyz",                            // unknown tag
      good + "\x03\x10",                        // length cut short
      good + MultiFrameRecordHead(10) + "abc",  // picture cut short
      "\x02\xFF" + std::string(300, 'x'),       // negative length
      std::string("\xFF\xD8\xFF\xE0", 4),       // a plain JPEG
  };
  for (const std::string& file : damaged) {
    EXPECT_FALSE(ParseMultiFrame(file)) << testing::PrintToString(file.substr(0, 6));
  }
  EXPECT_FALSE(FirstMultiFramePicture("\x05\x03xyz"));
  EXPECT_FALSE(FirstMultiFramePicture("\x03\x10"));
  EXPECT_FALSE(FirstMultiFramePicture(""));
}

}  // namespace
}  // namespace kestrin::capture
