#include "test_picture.h"

#include <algorithm>
#include <string>

namespace kestrin::camsim {

namespace {

// 3 x 5 digit glyphs, one row per 3 bits, top row first.
constexpr uint16_t kDigits[10] = {
    0b111'101'101'101'111, 0b010'110'010'010'111, 0b111'001'111'100'111, 0b111'001'111'001'111,
    0b101'101'111'001'001, 0b111'100'111'001'111, 0b111'100'111'101'111, 0b111'001'001'001'001,
    0b111'101'111'101'111, 0b111'101'111'001'111,
};

void FillRect(std::vector<uint8_t>& bgr, uint32_t width, uint32_t height, uint32_t x0, uint32_t y0,
              uint32_t w, uint32_t h, Rgb colour) {
  const uint32_t x1 = std::min(width, x0 + w);
  const uint32_t y1 = std::min(height, y0 + h);
  for (uint32_t y = y0; y < y1; ++y) {
    uint8_t* p = bgr.data() + (static_cast<size_t>(y) * width + x0) * 3;
    for (uint32_t x = x0; x < x1; ++x, p += 3) {
      p[0] = colour.blue;
      p[1] = colour.green;
      p[2] = colour.red;
    }
  }
}

}  // namespace

void DrawTestPicture(uint32_t width, uint32_t height, uint64_t frame, Rgb patch,
                     std::vector<uint8_t>& bgr) {
  bgr.assign(static_cast<size_t>(width) * height * 3, 0x80);

  // A white bar, 1/8 of the width wide, sweeping left to right over the full
  // height, so every part of the picture changes from frame to frame.
  const uint32_t bar = std::max<uint32_t>(1, width / 8);
  const uint32_t step = std::max<uint32_t>(1, width / 40);
  const uint32_t x = static_cast<uint32_t>((frame * step) % width);
  FillRect(bgr, width, height, x, 0, bar, height, Rgb{255, 255, 255});
  // The patch stays on top of the bar.
  FillRect(bgr, width, height, width / 4, height / 4, width / 2, height / 2, patch);

  // The frame number, black on white, at the top right: the bar repeats every
  // 40 frames, so the number keeps the upper part of the picture, which a
  // frozen-picture check may be looking at, from ever repeating.
  const std::string digits = std::to_string(frame);
  const uint32_t cell = std::max<uint32_t>(1, height / 40);
  const uint32_t text_w = static_cast<uint32_t>(digits.size()) * 4 * cell + cell;
  const uint32_t text_h = 7 * cell;
  if (text_w > width || text_h > height) return;
  const uint32_t left = width - text_w;
  const uint32_t top = 0;
  FillRect(bgr, width, height, left, top, text_w, text_h, Rgb{255, 255, 255});
  for (size_t i = 0; i < digits.size(); ++i) {
    const uint16_t glyph = kDigits[digits[i] - '0'];
    for (int row = 0; row < 5; ++row) {
      for (int col = 0; col < 3; ++col) {
        if (glyph & (1 << (14 - row * 3 - col))) {
          FillRect(bgr, width, height,
                   left + cell + static_cast<uint32_t>(i) * 4 * cell + col * cell,
                   top + cell + row * cell, cell, cell, Rgb{0, 0, 0});
        }
      }
    }
  }
}

}  // namespace kestrin::camsim
