#pragma once

#include <cstdint>
#include <vector>

namespace kestrin::camsim {

// Colour of the fixed patch: the middle half of the picture in each direction
// (centred, width/2 x height/2), which never changes, so a saved picture can
// be checked for the camera's colours.
struct Rgb {
  uint8_t red;
  uint8_t green;
  uint8_t blue;
};

// Draws test picture number `frame` into `bgr` (width * height * 3 bytes, blue,
// green, red per pixel, resized): a grey background, the fixed patch, a bar
// that moves across the whole height with every frame, and the frame number
// in large digits at the bottom right.
void DrawTestPicture(uint32_t width, uint32_t height, uint64_t frame, Rgb patch,
                     std::vector<uint8_t>& bgr);

}  // namespace kestrin::camsim
