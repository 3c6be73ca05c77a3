#include "web/request.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/codepage.h"
#include "platform/text.h"
#include "service/base64.h"

namespace kestrin::web {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when the bytes
// there are no valid sequence (overlong forms and surrogates included).
size_t Utf8SequenceLength(std::string_view s) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(0);
  if (c < 0x80) return 1;
  size_t length;
  uint32_t min;
  uint32_t code;
  if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string WebRequest::ParamText() const {
  std::string text;
  for (size_t i = 0; i < params.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += params[i];
  }
  return text;
}

std::string PercentDecode(std::string_view text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else if (c == '+' && plus_as_space) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

FormCharset CharsetOf(std::string_view content_type) {
  std::string lower = platform::Lower(content_type);
  size_t at = lower.find("charset=");
  if (at == std::string::npos) return FormCharset::kUtf8;
  std::string_view name = platform::Trim(std::string_view(lower).substr(at + 8));
  name = name.substr(0, name.find(';'));
  if (!name.empty() && name.front() == '"') name.remove_prefix(1);
  if (!name.empty() && name.back() == '"') name.remove_suffix(1);
  name = platform::Trim(name);
  if (name == "windows-1251" || name == "cp1251") return FormCharset::kCp1251;
  return FormCharset::kUtf8;
}

bool IsFormContentType(std::string_view content_type) {
  std::string lower =
      platform::Lower(platform::Trim(content_type.substr(0, content_type.find(';'))));
  return lower == "application/x-www-form-urlencoded";
}

std::vector<std::string> ParsePairs(std::string_view text, FormCharset charset) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('&', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view pair = text.substr(begin, end - begin);
    if (!pair.empty()) {
      std::string bytes = PercentDecode(pair, true);
      lines.push_back(charset == FormCharset::kCp1251 ? platform::Cp1251ToUtf8(bytes)
                                                      : SanitizeUtf8(bytes));
    }
    begin = end + 1;
  }
  return lines;
}

std::vector<std::string> BuildParameterList(std::string_view body, std::string_view content_type,
                                            std::string_view query) {
  std::vector<std::string> params;
  if (IsFormContentType(content_type)) params = ParsePairs(body, CharsetOf(content_type));
  for (std::string& line : ParsePairs(query, FormCharset::kUtf8)) params.push_back(std::move(line));
  return params;
}

void AppendCookies(std::string_view header,
                   std::vector<std::pair<std::string, std::string>>& cookies) {
  size_t begin = 0;
  while (begin <= header.size()) {
    size_t end = header.find(';', begin);
    if (end == std::string_view::npos) end = header.size();
    std::string_view piece = platform::Trim(header.substr(begin, end - begin));
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      if (eq == std::string_view::npos) {
        cookies.emplace_back(std::string(piece), "");
      } else {
        cookies.emplace_back(std::string(platform::Trim(piece.substr(0, eq))),
                             std::string(platform::Trim(piece.substr(eq + 1))));
      }
    }
    begin = end + 1;
  }
}

std::pair<std::string, std::string> DecodeBasicCredentials(std::string_view header) {
  header = platform::Trim(header);
  size_t space = header.find(' ');
  if (space == std::string_view::npos || platform::Lower(header.substr(0, space)) != "basic")
    return {};
  std::string decoded = service::Base64DecodeGroups(platform::Trim(header.substr(space + 1)));
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return {SanitizeUtf8(decoded), ""};
  return {SanitizeUtf8(decoded.substr(0, colon)), SanitizeUtf8(decoded.substr(colon + 1))};
}

std::optional<std::vector<uint8_t>> AddressBytes(std::string_view address) {
  std::string text(address);
  // An IPv6 address may carry a zone ("fe80::1%eth0").
  text = text.substr(0, text.find('%'));
  in_addr v4;
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &v4, 4);
    return bytes;
  }
  in6_addr v6;
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return std::vector<uint8_t>(v6.s6_addr + 12, v6.s6_addr + 16);
    return std::vector<uint8_t>(v6.s6_addr, v6.s6_addr + 16);
  }
  return std::nullopt;
}

bool IsLocalClient(std::string_view peer_address, std::string_view local_address) {
  auto peer = AddressBytes(peer_address);
  auto local = AddressBytes(local_address);
  return peer && local && *peer == *local;
}

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    size_t length = Utf8SequenceLength(bytes);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      length = 1;
    } else {
      out.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return out;
}

}  // namespace kestrin::web
