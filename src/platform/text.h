#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrin::platform {

// Whether `c` is a space or a tab.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Whether `c` is a space or a control character (a byte up to 32).
inline bool IsSpaceOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

// `text` without the leading and trailing characters for which `trimmed`
// holds.
inline std::string_view Trim(std::string_view text, bool (*trimmed)(char) = IsBlank) {
  while (!text.empty() && trimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && trimmed(text.back())) text.remove_suffix(1);
  return text;
}

// `text` with the ASCII capitals A-Z made small; every other byte as it is.
std::string Lower(std::string_view text);

// Number of characters (not bytes) of UTF-8 text: the bytes that are no
// continuation byte.
size_t CharacterCount(std::string_view text);

// What a decimal number may look like besides its digits.
struct DecimalRules {
  bool blanks = false;  // spaces and tabs may stand around it
  bool plus = true;     // a '+' may lead it (never together with a '-')
};

// A decimal integer of 32 bits: an optional sign, then digits (leading zeros
// allowed), nothing else. Nothing for empty text, any other character or a
// value out of range.
std::optional<int32_t> ParseDecimal(std::string_view text, DecimalRules rules = {});

}  // namespace kestrin::platform
