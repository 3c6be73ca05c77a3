#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace kestrin::platform {
namespace {

// The bytes of the bad UTF-8 character at the start of `s`: its first byte and
// the continuation bytes that follow it.
size_t BadSequenceLength(const char* s, size_t left) {
  size_t n = 1;
  while (n < left && n < 4 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
  return n;
}

// Converts with iconv; every input sequence that cannot be converted becomes "?".
std::string Convert(const char* to, const char* from, std::string_view in, bool from_utf8) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  char buffer[1024];
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  while (src_left > 0) {
    char* dst = buffer;
    size_t dst_left = sizeof(buffer);
    size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer, dst - buffer);
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ or EINVAL: replace one input character and go on.
    size_t skip = from_utf8 ? BadSequenceLength(src, src_left) : 1;
    src += skip;
    src_left -= skip;
    out += '?';
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
  return Convert("CP1251", "UTF-8", utf8, true);
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  return Convert("UTF-8", "CP1251", cp1251, false);
}

}  // namespace kestrin::platform
