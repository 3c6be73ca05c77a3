#include "picture_stamp.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "capture/jpeg_encoder.h"
#include "test_picture.h"

namespace kestrin::camsim {
namespace {

constexpr Rgb kPatch{0x20, 0x60, 0xC0};

// camsim's picture number `frame` of `width` x `height` stamped with `stamp`.
std::vector<uint8_t> StampedPicture(uint32_t width, uint32_t height, uint64_t frame,
                                    uint32_t stamp) {
  std::vector<uint8_t> bgr;
  DrawTestPicture(width, height, frame, kPatch, bgr);
  DrawStamp(bgr.data(), width, height, stamp);
  return bgr;
}

std::vector<uint8_t> Jpeg(const std::vector<uint8_t>& bgr, uint32_t width, uint32_t height,
                          int quality) {
  std::vector<uint8_t> jpeg;
  EXPECT_TRUE(
      capture::EncodeJpeg(bgr.data(), capture::PixelLayout::kBgr, width, height, quality, jpeg));
  return jpeg;
}

std::string_view View(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Fills block `column` of block row `row` with `value` in every channel.
void PaintBlock(std::vector<uint8_t>& bgr, uint32_t width, uint32_t height, uint32_t row,
                uint32_t column, uint8_t value) {
  const uint32_t row_height = StampRowHeight(height);
  const uint32_t top = height - kStampRows * row_height + row * row_height;
  for (uint32_t y = top; y < top + row_height; ++y) {
    for (uint32_t x = column * width / kStampColumns; x < (column + 1) * width / kStampColumns;
         ++x) {
      for (int c = 0; c < 3; ++c) bgr[(static_cast<size_t>(y) * width + x) * 3 + c] = value;
    }
  }
}

TEST(PictureStampTest, SurvivesJpegAtLowestAndHighestQuality) {
  struct Size {
    uint32_t width, height;
  };
  const Size sizes[] = {{320, 240}, {352, 288}, {640, 360}, {1280, 720}, {1920, 1080}};
  const uint32_t stamps[] = {0,          0xFFFFFFFF, 0x80000001,
                             0x7FFFFFFE, 0x5A5AC3A5, MonotonicStampNow()};
  for (const Size size : sizes) {
    for (const int quality : {10, 100}) {
      for (size_t i = 0; i < std::size(stamps); ++i) {
        // A different frame each time moves camsim's bar through the stamp's columns.
        const auto bgr = StampedPicture(size.width, size.height, i * 7, stamps[i]);
        const auto jpeg = Jpeg(bgr, size.width, size.height, quality);
        EXPECT_EQ(ReadJpegStamp(View(jpeg)), stamps[i])
            << size.width << "x" << size.height << " q" << quality << " stamp " << stamps[i];
      }
    }
  }
}

TEST(PictureStampTest, ReadsTheServicesFrameLayout) {
  constexpr uint32_t kWidth = 640, kHeight = 360;
  const auto bgr = StampedPicture(kWidth, kHeight, 3, 123456789);
  std::vector<uint8_t> bgrx;
  for (size_t i = 0; i < bgr.size(); i += 3) {
    bgrx.insert(bgrx.end(), {bgr[i], bgr[i + 1], bgr[i + 2], 0x5A});
  }
  EXPECT_EQ(ReadStamp(bgrx.data(), kWidth, kHeight, 4), 123456789u);
}

TEST(PictureStampTest, DamagedStampIsNoTime) {
  constexpr uint32_t kWidth = 640, kHeight = 360;
  constexpr uint32_t kStamp = 0x12345678;
  struct Damage {
    const char* what;
    uint32_t row, column;
    uint8_t value;
  };
  // Bit 31 of 0x12345678 is 0 (black in row 0, white in row 1); bit 3 (row 2,
  // column 12) is 1.
  const Damage damages[] = {
      {"a value block flipped", 0, 0, 255},
      {"a complement block flipped", 1, 0, 0},
      {"a low-half block flipped", 2, 12, 0},
      {"a block grey", 3, 7, 128},
  };
  for (const Damage& damage : damages) {
    auto bgr = StampedPicture(kWidth, kHeight, 0, kStamp);
    ASSERT_EQ(ReadStamp(bgr.data(), kWidth, kHeight, 3), kStamp);
    PaintBlock(bgr, kWidth, kHeight, damage.row, damage.column, damage.value);
    EXPECT_EQ(ReadStamp(bgr.data(), kWidth, kHeight, 3), std::nullopt) << damage.what;
    EXPECT_EQ(ReadJpegStamp(View(Jpeg(bgr, kWidth, kHeight, 90))), std::nullopt) << damage.what;
  }
}

TEST(PictureStampTest, NoStampNoTime) {
  std::vector<uint8_t> bgr;
  DrawTestPicture(640, 360, 5, kPatch, bgr);
  EXPECT_EQ(ReadStamp(bgr.data(), 640, 360, 3), std::nullopt);
  EXPECT_EQ(ReadJpegStamp("not a picture"), std::nullopt);
  EXPECT_EQ(ReadJpegStamp(""), std::nullopt);

  // Too small to carry one: drawing leaves the picture alone.
  DrawTestPicture(96, 64, 5, kPatch, bgr);
  const auto before = bgr;
  DrawStamp(bgr.data(), 96, 64, 42);
  EXPECT_EQ(bgr, before);
  EXPECT_EQ(ReadStamp(bgr.data(), 96, 64, 3), std::nullopt);
}

}  // namespace
}  // namespace kestrin::camsim
