#include "capture/photo_naming.h"

#include <fmt/format.h>

namespace kestrin::capture {
namespace {

// Hexadecimal with at least two digits; negative numbers as their 32-bit
// two's complement.
std::string Hex2(int value) {
  return fmt::format("{:02X}", static_cast<uint32_t>(value));
}

int TwoDigitYear(int year) {
  return ((year % 100) + 100) % 100;
}

}  // namespace

std::string MakeTimePart(const platform::LocalFields& t, int name_format) {
  switch (name_format) {
    case 1:
      return fmt::format("{:02}{:02}{:02}{:02}{:02}{:02}", t.day, t.month, TwoDigitYear(t.year),
                         t.hour, t.minute, t.second);
    case 2:
      return fmt::format("{:02}{:02}{:02}{:02}{:02}{:02}", TwoDigitYear(t.year), t.month, t.day,
                         t.hour, t.minute, t.second);
    default:
      return Hex2(t.day) + Hex2(t.month) + Hex2(t.year - 2000) + Hex2(t.hour) + Hex2(t.minute) +
             Hex2(t.second);
  }
}

std::string MakePhotoName(std::string_view controller, const platform::LocalFields& time,
                          int name_format) {
  std::string name(controller);
  name += '_';
  name += MakeTimePart(time, name_format);
  return name;
}

std::string MakePhotoName(std::string_view controller, platform::DateTime time, int name_format) {
  return MakePhotoName(controller, platform::ToLocalFields(time), name_format);
}

std::string CollapseDoubledSeparators(std::string_view path) {
  std::string result;
  result.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !result.empty() && result.back() == '/') continue;
    result += c;
  }
  return result;
}

std::string ArchiveFilePath(std::string_view archive_path, std::string_view file_stem) {
  std::string path(archive_path);
  path += '/';
  path += file_stem;
  path += ".jpg";
  return CollapseDoubledSeparators(path);
}

std::string MakePhotoPath(std::string_view archive_path, std::string_view photo_name, char kind) {
  std::string stem(photo_name);
  stem += kind;
  return ArchiveFilePath(archive_path, stem);
}

std::optional<uint64_t> DecodeHexPair(std::string_view digits) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  uint64_t value = 0;
  for (char c : digits.substr(0, 16)) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    size_t digit = kDigits.find(c);
    if (digit == std::string_view::npos) return std::nullopt;
    value = value * 16 + digit;
  }
  return value;
}

std::optional<platform::LocalFields> DecodeHexTime(std::string_view time_part) {
  if (time_part.size() != 12) return std::nullopt;
  int numbers[6];
  for (int i = 0; i < 6; ++i) {
    std::optional<uint64_t> value = DecodeHexPair(time_part.substr(2 * i, 2));
    if (!value) return std::nullopt;
    numbers[i] = static_cast<int>(*value);
  }
  platform::LocalFields t;
  t.day = numbers[0];
  t.month = numbers[1];
  t.year = 2000 + numbers[2];
  t.hour = numbers[3];
  t.minute = numbers[4];
  t.second = numbers[5];
  if (t.month < 1 || t.month > 12) return std::nullopt;
  if (t.day < 1 || t.day > platform::DaysInMonth(t.year, t.month)) return std::nullopt;
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

std::optional<std::string> StoredPhotoName(std::string_view addressed_name, int name_format) {
  if (name_format != 1 && name_format != 2) return std::string(addressed_name);
  if (addressed_name.size() != kAddressedNameLength) return std::nullopt;
  std::optional<platform::LocalFields> time =
      DecodeHexTime(addressed_name.substr(kControllerIdLength + 1));
  if (!time) return std::nullopt;
  return MakePhotoName(addressed_name.substr(0, kControllerIdLength), *time, name_format);
}

std::string MakeLastFileName(std::string_view controller, const platform::LocalFields& t) {
  return fmt::format("{}{:04}{:02}{:02}{:02}{:02}{:02}", controller, t.year, t.month, t.day, t.hour,
                     t.minute, t.second);
}

bool IsSafeNamePart(std::string_view text) {
  if (text.find("..") != std::string_view::npos) return false;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

}  // namespace kestrin::capture
