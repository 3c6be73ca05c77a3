#pragma once

#include <cstdint>
#include <vector>

namespace kestrin::capture {

// How the pixels handed to EncodeJpeg are laid out; rows top first, no padding.
enum class PixelLayout {
  kBgr,   // 3 bytes per pixel: blue, green, red (the converted picture)
  kBgrx,  // 4 bytes per pixel: blue, green, red, unused (a frame buffer copy)
};

// Clamps a rule's quality to the encoder's range 1..100.
int ClampJpegQuality(int quality);

// Encodes a width x height picture as a baseline colour JPEG (JFIF) with the
// library's default parameters and the clamped quality (baseline forced).
// Replaces the contents of `jpeg`. Returns false when the encoder fails or a
// size is zero; `jpeg` is then empty.
bool EncodeJpeg(const uint8_t* pixels, PixelLayout layout, uint32_t width, uint32_t height,
                int quality, std::vector<uint8_t>& jpeg);

}  // namespace kestrin::capture
