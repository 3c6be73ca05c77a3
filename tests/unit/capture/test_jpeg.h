#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include <jpeglib.h>

namespace kestrin::capture::testing {

// A decoded JPEG: RGB pixels, top row first.
struct DecodedJpeg {
  bool ok = false;
  uint32_t width = 0;
  uint32_t height = 0;
  bool progressive = false;
  std::vector<uint8_t> rgb;

  // Red, green, blue of pixel (x, y).
  const uint8_t* At(uint32_t x, uint32_t y) const { return &rgb[(size_t{y} * width + x) * 3]; }
};

namespace detail {
struct JumpingErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};
inline void JumpOnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JumpingErrors*>(info->err)->jump, 1);
}
inline void Quiet(j_common_ptr) {}

inline bool Decode(const uint8_t* data, size_t size, DecodedJpeg* out) {
  jpeg_decompress_struct info;
  JumpingErrors errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JumpOnError;
  errors.base.output_message = Quiet;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out->width = info.output_width;
  out->height = info.output_height;
  out->progressive = info.progressive_mode;
  out->rgb.resize(size_t{out->width} * out->height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->rgb.data() + size_t{info.output_scanline} * out->width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}
}  // namespace detail

// Decodes `jpeg`; ok is false when it is not a readable JPEG.
inline DecodedJpeg DecodeJpeg(std::string_view jpeg) {
  DecodedJpeg out;
  out.ok = !jpeg.empty() &&
           detail::Decode(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &out);
  return out;
}

}  // namespace kestrin::capture::testing
