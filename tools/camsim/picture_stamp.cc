#include "picture_stamp.h"

#include <time.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace kestrin::camsim {

namespace {

// Mean brightness below this reads as 0, above kLight as 1; between is a
// misread.
constexpr uint32_t kDark = 100;
constexpr uint32_t kLight = 156;

// Bit `column` (left to right) of block row `row` for `stamp`.
bool StampBit(uint32_t stamp, uint32_t row, uint32_t column) {
  const uint32_t half = row < 2 ? stamp >> 16 : stamp & 0xFFFF;
  const bool bit = (half >> (kStampColumns - 1 - column)) & 1;
  return row % 2 == 0 ? bit : !bit;
}

struct JumpingErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void JumpOnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JumpingErrors*>(info->err)->jump, 1);
}

void Quiet(j_common_ptr) {}

// Decodes `jpeg` into BGR pixels; false when it is no JPEG libjpeg reads.
bool DecodeBgr(std::string_view jpeg, uint32_t& width, uint32_t& height,
               std::vector<uint8_t>& bgr) {
  jpeg_decompress_struct info;
  JumpingErrors errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JumpOnError;
  errors.base.output_message = Quiet;
  jpeg_create_decompress(&info);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()),
               static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  width = info.output_width;
  height = info.output_height;
  bgr.resize(static_cast<size_t>(width) * height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = bgr.data() + static_cast<size_t>(info.output_scanline) * width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

uint32_t StampRowHeight(uint32_t height) {
  return std::max<uint32_t>(8, height / 24);
}

bool StampFits(uint32_t width, uint32_t height) {
  return width >= kStampColumns * 8 && height >= kStampRows * StampRowHeight(height) * 2;
}

uint32_t MonotonicStampNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
  return static_cast<uint32_t>(ms);
}

void DrawStamp(uint8_t* bgr, uint32_t width, uint32_t height, uint32_t stamp) {
  if (!StampFits(width, height)) return;
  const uint32_t row_height = StampRowHeight(height);
  const uint32_t top = height - kStampRows * row_height;
  for (uint32_t y = top; y < height; ++y) {
    const uint32_t row = (y - top) / row_height;
    uint8_t* p = bgr + static_cast<size_t>(y) * width * 3;
    for (uint32_t column = 0; column < kStampColumns; ++column) {
      const uint32_t x0 = column * width / kStampColumns;
      const uint32_t x1 = (column + 1) * width / kStampColumns;
      const uint8_t value = StampBit(stamp, row, column) ? 255 : 0;
      std::fill(p + x0 * 3, p + x1 * 3, value);
    }
  }
}

std::optional<uint32_t> ReadStamp(const uint8_t* pixels, uint32_t width, uint32_t height,
                                  uint32_t bytes_per_pixel) {
  if (!StampFits(width, height) || bytes_per_pixel < 3) return std::nullopt;
  const uint32_t row_height = StampRowHeight(height);
  const uint32_t top = height - kStampRows * row_height;
  bool bits[kStampRows][kStampColumns];
  for (uint32_t row = 0; row < kStampRows; ++row) {
    const uint32_t y0 = top + row * row_height + row_height / 4;
    const uint32_t y1 = y0 + std::max<uint32_t>(1, row_height / 2);
    for (uint32_t column = 0; column < kStampColumns; ++column) {
      const uint32_t left = column * width / kStampColumns;
      const uint32_t block = (column + 1) * width / kStampColumns - left;
      const uint32_t x0 = left + block / 4;
      const uint32_t x1 = x0 + std::max<uint32_t>(1, block / 2);
      uint64_t sum = 0;
      for (uint32_t y = y0; y < y1; ++y) {
        const uint8_t* p = pixels + (static_cast<size_t>(y) * width + x0) * bytes_per_pixel;
        for (uint32_t x = x0; x < x1; ++x, p += bytes_per_pixel) sum += p[0] + p[1] + p[2];
      }
      const uint64_t mean = sum / (3 * static_cast<uint64_t>(y1 - y0) * (x1 - x0));
      if (mean > kDark && mean < kLight) return std::nullopt;
      bits[row][column] = mean >= kLight;
    }
  }
  uint32_t stamp = 0;
  for (uint32_t row = 0; row < kStampRows; row += 2) {
    for (uint32_t column = 0; column < kStampColumns; ++column) {
      if (bits[row][column] == bits[row + 1][column]) return std::nullopt;
      stamp = stamp << 1 | (bits[row][column] ? 1 : 0);
    }
  }
  return stamp;
}

std::optional<uint32_t> ReadJpegStamp(std::string_view jpeg) {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> bgr;
  if (!DecodeBgr(jpeg, width, height, bgr)) return std::nullopt;
  return ReadStamp(bgr.data(), width, height, 3);
}

}  // namespace kestrin::camsim
