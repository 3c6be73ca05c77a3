#pragma once

#include <string_view>

namespace kestrin::web {

// The 32 x 32 PNG icon served as "/favicon.ico", compiled into the program
// from favicon.png.
std::string_view FaviconPng();

}  // namespace kestrin::web
