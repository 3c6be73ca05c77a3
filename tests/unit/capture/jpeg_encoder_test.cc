#include "capture/jpeg_encoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "capture/frame_store.h"
#include "test_jpeg.h"

namespace kestrin::capture {
namespace {

using testing::DecodeJpeg;

std::string_view View(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A 64 x 48 RV32 frame: grey, with a 32 x 24 patch of red 0xC0, green 0x60,
// blue 0x20 at the top left.
std::vector<uint8_t> PatchFrame() {
  std::vector<uint8_t> frame(64 * 48 * 4, 0x80);
  for (int y = 0; y < 24; ++y) {
    for (int x = 0; x < 32; ++x) {
      uint8_t* p = &frame[(y * 64 + x) * 4];
      p[0] = 0x20;  // blue
      p[1] = 0x60;  // green
      p[2] = 0xC0;  // red
      p[3] = 0x00;
    }
  }
  return frame;
}

bool Near(int actual, int expected) {
  return std::abs(actual - expected) <= 6;
}

TEST(JpegEncoderTest, ShowsTheCameraColoursFromEitherLayout) {
  const std::vector<uint8_t> frame = PatchFrame();
  std::vector<uint8_t> picture;
  ConvertFrameToPicture(frame.data(), 64, 48, picture);

  std::vector<uint8_t> from_frame;
  std::vector<uint8_t> from_picture;
  ASSERT_TRUE(EncodeJpeg(frame.data(), PixelLayout::kBgrx, 64, 48, 90, from_frame));
  ASSERT_TRUE(EncodeJpeg(picture.data(), PixelLayout::kBgr, 64, 48, 90, from_picture));
  // Straight from the frame copy or through the 24-bit picture: same JPEG.
  EXPECT_EQ(from_frame, from_picture);

  const auto decoded = DecodeJpeg(View(from_frame));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.width, 64u);
  EXPECT_EQ(decoded.height, 48u);
  EXPECT_FALSE(decoded.progressive);
  const uint8_t* patch = decoded.At(10, 10);
  EXPECT_TRUE(Near(patch[0], 0xC0) && Near(patch[1], 0x60) && Near(patch[2], 0x20))
      << int(patch[0]) << "," << int(patch[1]) << "," << int(patch[2]);
  const uint8_t* grey = decoded.At(50, 40);
  EXPECT_TRUE(Near(grey[0], 0x80) && Near(grey[1], 0x80) && Near(grey[2], 0x80));
}

TEST(JpegEncoderTest, QualityIsClampedToOneToHundred) {
  const std::vector<uint8_t> frame = PatchFrame();
  auto encode = [&](int quality) {
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(EncodeJpeg(frame.data(), PixelLayout::kBgrx, 64, 48, quality, jpeg));
    return jpeg;
  };
  const struct {
    int given;
    int used;
  } cases[] = {{0, 1}, {-5, 1}, {255, 100}, {101, 100}};
  for (const auto& c : cases) EXPECT_EQ(encode(c.given), encode(c.used)) << c.given;
  EXPECT_NE(encode(1), encode(100));
}

TEST(JpegEncoderTest, RefusesPicturesWithoutPixels) {
  const std::vector<uint8_t> frame = PatchFrame();
  std::vector<uint8_t> jpeg{1, 2, 3};
  EXPECT_FALSE(EncodeJpeg(frame.data(), PixelLayout::kBgrx, 0, 48, 90, jpeg));
  EXPECT_TRUE(jpeg.empty());
  EXPECT_FALSE(EncodeJpeg(frame.data(), PixelLayout::kBgrx, 64, 0, 90, jpeg));
}

}  // namespace
}  // namespace kestrin::capture
