#include "capture/jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace kestrin::capture {

namespace {

// libjpeg's default error handler ends the process; this one jumps back.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void IgnoreJpegMessage(j_common_ptr) {}

// The libjpeg part, free of C++ objects with destructors so that longjmp
// skips nothing. On success *out (malloc'ed by libjpeg) holds *out_size bytes.
bool Compress(const uint8_t* pixels, PixelLayout layout, uint32_t width, uint32_t height,
              int quality, unsigned char** out, unsigned long* out_size) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnJpegError;
  errors.base.output_message = IgnoreJpegMessage;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, out, out_size);
  info.image_width = width;
  info.image_height = height;
  const bool four = layout == PixelLayout::kBgrx;
  info.input_components = four ? 4 : 3;
  info.in_color_space = four ? JCS_EXT_BGRX : JCS_EXT_BGR;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const size_t stride = static_cast<size_t>(width) * info.input_components;
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + info.next_scanline * stride);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

int ClampJpegQuality(int quality) {
  if (quality < 1) return 1;
  if (quality > 100) return 100;
  return quality;
}

bool EncodeJpeg(const uint8_t* pixels, PixelLayout layout, uint32_t width, uint32_t height,
                int quality, std::vector<uint8_t>& jpeg) {
  jpeg.clear();
  // JPEG pictures are at most 65535 pixels on a side.
  if (width == 0 || height == 0 || width > 65535 || height > 65535) return false;
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  const bool ok =
      Compress(pixels, layout, width, height, ClampJpegQuality(quality), &out, &out_size);
  if (ok) jpeg.assign(out, out + out_size);
  std::free(out);
  return ok;
}

}  // namespace kestrin::capture
