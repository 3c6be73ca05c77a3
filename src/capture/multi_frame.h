#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::capture {

// The multi-frame file: records one after the other, no header, count or
// trailer. Each record is a tag byte naming the size of the length value
// (0x02: 1 byte, 0x03: 2, 0x04: 4, 0x13: 8), the length L as a signed
// little-endian integer of that size, then L bytes of one JPEG picture.

// The record head (tag + length) for a picture of `length` bytes, with the
// smallest tag that holds it.
std::string MultiFrameRecordHead(int64_t length);

// Splits a whole multi-frame file into its pictures. Returns nothing when a
// tag is unknown, a length is negative or a record runs past the end.
std::optional<std::vector<std::string_view>> ParseMultiFrame(std::string_view file);

// The first record's picture, accepting only the tags 0x02, 0x03 and 0x04 (what
// the web frame viewer reads). Nothing when the file does not start with a
// complete record of those tags.
std::optional<std::string_view> FirstMultiFramePicture(std::string_view file);

}  // namespace kestrin::capture
