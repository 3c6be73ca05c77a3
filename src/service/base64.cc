#include "service/base64.h"

#include <cstdint>

namespace kestrin::service {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t SixBits(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    if (rest == 2) v |= uint8_t(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64DecodeGroups(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i + 4 <= text.size(); i += 4) {
    uint32_t v = (SixBits(text[i]) << 18) | (SixBits(text[i + 1]) << 12) |
                 (SixBits(text[i + 2]) << 6) | SixBits(text[i + 3]);
    size_t count = text[i + 2] == '=' ? 1 : text[i + 3] == '=' ? 2 : 3;
    out += static_cast<char>(v >> 16);
    if (count > 1) out += static_cast<char>((v >> 8) & 0xFF);
    if (count > 2) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

}  // namespace kestrin::service
