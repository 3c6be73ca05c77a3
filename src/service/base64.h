#pragma once

#include <string>
#include <string_view>

namespace kestrin::service {

// Standard Base64 (alphabet A-Z a-z 0-9 + /) with "=" padding, no line breaks.
std::string Base64Encode(std::string_view bytes);

// Tolerant Base64: only complete groups of four characters are decoded and a
// trailing partial group is ignored; characters outside the alphabet are not
// rejected but decode as zero bits; "=" in the third or fourth place of a group
// shortens that group's output to one or two bytes.
std::string Base64DecodeGroups(std::string_view text);

}  // namespace kestrin::service
