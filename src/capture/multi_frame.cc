#include "capture/multi_frame.h"

#include <limits>

namespace kestrin::capture {

namespace {

// Size in bytes of the length value a tag names; 0 for an unknown tag.
int LengthSize(uint8_t tag) {
  switch (tag) {
    case 0x02:
      return 1;
    case 0x03:
      return 2;
    case 0x04:
      return 4;
    case 0x13:
      return 8;
    default:
      return 0;
  }
}

// Reads the record at `pos`; advances `pos` past it. Nothing when incomplete.
std::optional<std::string_view> ReadRecord(std::string_view file, size_t& pos) {
  if (pos >= file.size()) return std::nullopt;
  const int size = LengthSize(static_cast<uint8_t>(file[pos]));
  if (size == 0 || file.size() - pos - 1 < static_cast<size_t>(size)) return std::nullopt;
  uint64_t raw = 0;
  for (int i = 0; i < size; ++i) {
    raw |= static_cast<uint64_t>(static_cast<uint8_t>(file[pos + 1 + i])) << (8 * i);
  }
  // Sign-extend from the value's own width.
  const int shift = 64 - 8 * size;
  const int64_t length = static_cast<int64_t>(raw << shift) >> shift;
  const size_t start = pos + 1 + size;
  if (length < 0 || static_cast<uint64_t>(length) > file.size() - start) return std::nullopt;
  pos = start + static_cast<size_t>(length);
  return file.substr(start, static_cast<size_t>(length));
}

}  // namespace

std::string MultiFrameRecordHead(int64_t length) {
  int size;
  uint8_t tag;
  if (length >= std::numeric_limits<int8_t>::min() &&
      length <= std::numeric_limits<int8_t>::max()) {
    tag = 0x02, size = 1;
  } else if (length >= std::numeric_limits<int16_t>::min() &&
             length <= std::numeric_limits<int16_t>::max()) {
    tag = 0x03, size = 2;
  } else if (length >= std::numeric_limits<int32_t>::min() &&
             length <= std::numeric_limits<int32_t>::max()) {
    tag = 0x04, size = 4;
  } else {
    tag = 0x13, size = 8;
  }
  std::string head(1, static_cast<char>(tag));
  const uint64_t raw = static_cast<uint64_t>(length);
  for (int i = 0; i < size; ++i) head += static_cast<char>((raw >> (8 * i)) & 0xFF);
  return head;
}

std::optional<std::vector<std::string_view>> ParseMultiFrame(std::string_view file) {
  std::vector<std::string_view> pictures;
  size_t pos = 0;
  while (pos < file.size()) {
    auto picture = ReadRecord(file, pos);
    if (!picture) return std::nullopt;
    pictures.push_back(*picture);
  }
  return pictures;
}

std::optional<std::string_view> FirstMultiFramePicture(std::string_view file) {
  if (file.empty() || static_cast<uint8_t>(file[0]) == 0x13) return std::nullopt;
  size_t pos = 0;
  return ReadRecord(file, pos);
}

}  // namespace kestrin::capture
