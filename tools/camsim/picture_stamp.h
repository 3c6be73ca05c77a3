#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrin::camsim {

// The time stamp the test cameras draw into every picture: the low 32 bits of
// the CLOCK_MONOTONIC millisecond at which the picture was made, as a grid of
// large black and white blocks along the bottom edge that survives strong
// JPEG, MPEG-2 and H.264 compression and is read back without OCR.
//
// Layout (shared with tools/rtspcam): kStampRows rows of kStampColumns blocks
// filling the whole width; block column c spans x from c * width / 16 to
// (c + 1) * width / 16, every row is StampRowHeight(height) pixels high and
// the last row ends at the bottom edge. Row 0 holds bits 31..16 (left to
// right, white = 1), row 2 bits 15..0; rows 1 and 3 hold the complements of
// rows 0 and 2, so that a misread block is detected instead of giving a wrong
// time.
inline constexpr uint32_t kStampColumns = 16;
inline constexpr uint32_t kStampRows = 4;

// Height of one block row for a picture `height` pixels high.
uint32_t StampRowHeight(uint32_t height);

// Whether a width x height picture is large enough to carry a stamp.
bool StampFits(uint32_t width, uint32_t height);

// The current CLOCK_MONOTONIC time in milliseconds, cut to 32 bits.
uint32_t MonotonicStampNow();

// Draws `stamp` into `bgr` (width * height * 3 bytes: blue, green, red).
// Does nothing when the picture is too small.
void DrawStamp(uint8_t* bgr, uint32_t width, uint32_t height, uint32_t stamp);

// Reads the stamp of a width x height picture of `bytes_per_pixel` bytes per
// pixel (3 or 4; the first three are blue, green and red). Each block is
// judged by the mean brightness of its middle half; nothing when a block is
// neither clearly dark nor clearly light or a complement row disagrees.
std::optional<uint32_t> ReadStamp(const uint8_t* pixels, uint32_t width, uint32_t height,
                                  uint32_t bytes_per_pixel);

// Decodes one JPEG picture and reads its stamp; nothing when it does not
// decode or carries no readable stamp.
std::optional<uint32_t> ReadJpegStamp(std::string_view jpeg);

}  // namespace kestrin::camsim
