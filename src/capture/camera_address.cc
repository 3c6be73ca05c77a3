#include "capture/camera_address.h"

#include <algorithm>
#include <cctype>

namespace kestrin::capture {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == lower;
         });
}

bool EndsAuthority(char c) {
  return c == '/' || c == '?' || c == '#' || std::isspace(static_cast<unsigned char>(c)) ||
         c == '"' || c == '\'';
}

}  // namespace

bool IsRtspAddress(std::string_view url) {
  return StartsWithNoCase(url, "rtsp://") || StartsWithNoCase(url, "rtsps://");
}

std::string WithLowerCaseScheme(std::string_view url) {
  std::string result(url);
  const size_t end = result.find("://");
  if (end == std::string::npos) return result;
  for (size_t i = 0; i < end; ++i) {
    result[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(result[i])));
  }
  return result;
}

std::string MaskPasswords(std::string_view text) {
  std::string result;
  size_t at = 0;
  for (size_t scheme; (scheme = text.find("://", at)) != std::string_view::npos;) {
    const size_t start = scheme + 3;
    size_t end = start;
    while (end < text.size() && !EndsAuthority(text[end])) ++end;
    const std::string_view authority = text.substr(start, end - start);
    const size_t user_end = authority.rfind('@');
    const size_t colon =
        authority.substr(0, user_end == std::string_view::npos ? 0 : user_end).find(':');
    result.append(text.substr(at, start - at));
    if (colon != std::string_view::npos) {
      result.append(authority.substr(0, colon + 1)).append("***");
      result.append(authority.substr(user_end));
    } else {
      result.append(authority);
    }
    at = end;
  }
  result.append(text.substr(at));
  return result;
}

}  // namespace kestrin::capture
