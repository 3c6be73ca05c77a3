#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrin::web {

// What the request handler reads of one HTTP request. Built by the HTTP
// server from the wire; the handler never looks at the method.
struct WebRequest {
  std::string raw_path;      // request target up to the first "?", as sent
  std::string decoded_path;  // raw_path percent-decoded
  // Ordered "name=value" lines: the body's pairs of a form-urlencoded body
  // first, then the query's pairs.
  std::vector<std::string> params;
  std::vector<std::pair<std::string, std::string>> cookies;  // in order
  std::string basic_user;                                    // both empty without Basic credentials
  std::string basic_password;
  // The connection's addresses; an IPv4-mapped IPv6 address counts as IPv4.
  std::string peer_address;
  std::string local_address;
  // What the browser tells of the page that started the request ("Sec-Fetch-Site",
  // "Origin", "Referer") and the "Host" it was sent to; each empty when absent.
  std::string fetch_site;
  std::string origin;
  std::string referer;
  std::string host;

  // The parameter list joined by line breaks, for presence tests.
  std::string ParamText() const;
};

// Percent-decodes `text`: "%hh" becomes the byte hh, a "%" not followed by two
// hexadecimal digits stays as it is. With `plus_as_space`, "+" becomes a space.
std::string PercentDecode(std::string_view text, bool plus_as_space);

// Which character set the bytes of a form or query are in.
enum class FormCharset { kUtf8, kCp1251 };

// The character set a Content-Type header declares for a form body; UTF-8
// unless it names windows-1251.
FormCharset CharsetOf(std::string_view content_type);

// True when the Content-Type header is application/x-www-form-urlencoded.
bool IsFormContentType(std::string_view content_type);

// Splits a query or form body at "&" only and decodes every pair into one
// "name=value" line ("+" to space, percent escapes in `charset`; the result
// is UTF-8, invalid sequences replaced by U+FFFD). Empty pairs are skipped.
std::vector<std::string> ParsePairs(std::string_view text, FormCharset charset);

// The parameter list of a request: the body's pairs when `content_type` is a
// form, followed by the pairs of `query` (the target's part after "?").
std::vector<std::string> BuildParameterList(std::string_view body, std::string_view content_type,
                                            std::string_view query);

// Appends the cookies of one Cookie header ("a=1; b=2") to `cookies`, in
// order. A piece without "=" is a cookie with an empty value.
void AppendCookies(std::string_view header,
                   std::vector<std::pair<std::string, std::string>>& cookies);

// Decodes an Authorization header of the Basic scheme (scheme name matched
// without regard to case) into user name and password, split at the first
// ":". Any other header gives two empty texts.
std::pair<std::string, std::string> DecodeBasicCredentials(std::string_view header);

// An address of a connection as text ("127.0.0.1", "::ffff:10.0.0.5",
// "::1") in its binary form: 4 bytes for IPv4 and IPv4-mapped IPv6, 16 bytes
// for other IPv6; nothing for text that is no address.
std::optional<std::vector<uint8_t>> AddressBytes(std::string_view address);

// The local client test: the peer address of the connection equals its local
// address. Compared on the 4-byte IPv4 form; a plain IPv6 connection compares
// its 16-byte addresses (a browser on ::1 reaching ::1 is local).
bool IsLocalClient(std::string_view peer_address, std::string_view local_address);

// Replaces invalid UTF-8 sequences in `bytes` by U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);

}  // namespace kestrin::web
