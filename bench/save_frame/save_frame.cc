// Copy + encode of a camera frame (1920x1080 unless told otherwise) the way a
// frame saver does it, against bare libjpeg-turbo compression of the same
// pixels, at quality 90 and 100; and how long the copy holds the frame mutex.
//
// usage: bench_save_frame [ROUNDS (default 30)] [WxH (default 1920x1080)]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "capture/frame_store.h"
#include "capture/jpeg_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrin::capture::FrameStore;
using kestrin::capture::PixelLayout;

uint32_t g_width = 1920;
uint32_t g_height = 1080;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A camera-like picture: gradients, a few blocks and sensor noise.
void FillFrame(std::vector<uint8_t>& frame) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> noise(-6, 6);
  frame.resize(size_t{g_width} * g_height * 4);
  for (uint32_t y = 0; y < g_height; ++y) {
    for (uint32_t x = 0; x < g_width; ++x) {
      uint8_t* p = &frame[(size_t{y} * g_width + x) * 4];
      const bool block = ((x / 240) + (y / 270)) % 3 == 0;
      p[0] = static_cast<uint8_t>(std::clamp<int>(x * 255 / g_width + noise(random), 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp<int>(y * 255 / g_height + noise(random), 0, 255));
      p[2] = static_cast<uint8_t>(block ? 200 : 60);
      p[3] = 0;
    }
  }
}

// Bare libjpeg-turbo: the same pixels straight from memory, no copy.
size_t BareEncode(const std::vector<uint8_t>& frame, int quality) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = g_width;
  info.image_height = g_height;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&frame[size_t{info.next_scanline} * g_width * 4]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::free(out);
  return size;
}

struct Stats {
  std::vector<double> ms;
  void Add(double v) { ms.push_back(v); }
  double Median() {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
  double Max() { return *std::max_element(ms.begin(), ms.end()); }
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  if (argc > 2 && (std::sscanf(argv[2], "%ux%u", &g_width, &g_height) != 2 || g_width < 16 ||
                   g_height < 16 || g_width > 8192 || g_height > 8192)) {
    std::fprintf(stderr, "bad size %s\n", argv[2]);
    return 2;
  }
  auto store = std::make_shared<FrameStore>();
  FillFrame(store->buffer());
  store->decoded_frames() = 1;  // as after the camera's first picture
  const std::vector<uint8_t> pixels = store->buffer();

  std::printf("%ux%u RV32, %d rounds, median (max) ms\n", g_width, g_height, rounds);
  for (int quality : {90, 100}) {
    Stats bare, saver, saver_hold, picture_path, picture_hold;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> picture;
    std::vector<uint8_t> jpeg;
    size_t bare_size = 0;
    for (int i = 0; i < rounds; ++i) {
      // Interleaved so that both see the same machine load.
      auto t0 = Clock::now();
      bare_size = BareEncode(pixels, quality);
      bare.Add(Ms(Clock::now() - t0));

      // The saver: fresh buffers per picture, as each saver allocates its own.
      frame = std::vector<uint8_t>();
      jpeg = std::vector<uint8_t>();
      t0 = Clock::now();
      store->CopyFrame(g_width, g_height, frame);
      kestrin::capture::EncodeJpeg(frame.data(), PixelLayout::kBgrx, g_width, g_height, quality,
                                   jpeg);
      saver.Add(Ms(Clock::now() - t0));
      // Time under the frame mutex: the copy with its buffer already in place.
      t0 = Clock::now();
      store->CopyFrame(g_width, g_height, frame);
      saver_hold.Add(Ms(Clock::now() - t0));

      // The 24-bit picture conversion (three of four bytes per pixel), for
      // comparison.
      picture = std::vector<uint8_t>();
      t0 = Clock::now();
      store->CopyPicture(g_width, g_height, picture);
      kestrin::capture::EncodeJpeg(picture.data(), PixelLayout::kBgr, g_width, g_height, quality,
                                   jpeg);
      picture_path.Add(Ms(Clock::now() - t0));
      t0 = Clock::now();
      store->CopyPicture(g_width, g_height, picture);
      picture_hold.Add(Ms(Clock::now() - t0));
    }
    const double bare_ms = bare.Median();
    const double saver_ms = saver.Median();
    std::printf("quality %3d: bare encode %.2f (%.2f), %zu bytes\n", quality, bare_ms, bare.Max(),
                bare_size);
    std::printf(
        "             saver copy+encode %.2f (%.2f) = %+.1f %% of bare; mutex held %.3f "
        "(%.3f)\n",
        saver_ms, saver.Max(), (saver_ms / bare_ms - 1) * 100, saver_hold.Median(),
        saver_hold.Max());
    std::printf(
        "             24-bit conversion + encode %.2f (%.2f) = %+.1f %% of bare; mutex "
        "held %.3f (%.3f)\n",
        picture_path.Median(), picture_path.Max(), (picture_path.Median() / bare_ms - 1) * 100,
        picture_hold.Median(), picture_hold.Max());
  }
  return 0;
}
