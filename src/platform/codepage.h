#pragma once

#include <string>
#include <string_view>

namespace kestrin::platform {

// Conversions between UTF-8 (used inside the program, in the log and the web
// pages) and the eight-bit code page Windows-1251 (used on the wire to the
// access-control server, in libVLC addresses and in the settings file).
// Characters the target cannot represent become "?"; invalid UTF-8 input bytes
// also become "?".
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace kestrin::platform
