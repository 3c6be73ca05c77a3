#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace kestrin::platform {
namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
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
    size_t skip = from_utf8 ? Utf8SequenceLength(static_cast<unsigned char>(*src)) : 1;
    if (skip > src_left) skip = src_left;
    src += skip;
    src_left -= skip;
    out += '?';
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) { return Convert("CP1251", "UTF-8", utf8, true); }

std::string Cp1251ToUtf8(std::string_view cp1251) {
  return Convert("UTF-8", "CP1251", cp1251, false);
}

}  // namespace kestrin::platform
