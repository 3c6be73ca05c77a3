#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kestrin::transport {

// The text "-" marks an optional handshake value as absent; any other text,
// the empty one included, is sent.
inline constexpr std::string_view kAbsent = "-";

// Time allowed for each read of the server's response head, and the longest
// line it may contain.
inline constexpr int kHandshakeReadMs = 30000;
inline constexpr size_t kHandshakeLineLimit = 1048576;
// The response head as a whole: at most this many bytes (status and header
// lines with their CR LF) and header lines. A server that sends more fails
// the handshake.
inline constexpr size_t kHandshakeHeadLimit = 16 * 1024;
inline constexpr size_t kHandshakeHeaderLines = 100;

// What the client offers in its opening request.
struct HandshakeRequest {
  std::string host;
  std::string port;
  std::string resource_name;
  std::string origin;
  std::string protocol;
  std::string extension;
  std::string cookie;
  int32_t version = 13;
};

// A new key: 16 characters with codes 32 to 116 from the process-wide
// generator, in Base64 (24 characters).
std::string MakeHandshakeKey();

// The request head, each line ended by CR LF, followed by the empty line:
// GET, Upgrade, Connection, Host (always with the port), Sec-WebSocket-Key,
// Sec-WebSocket-Version, then only the present ones of
// Sec-WebSocket-Protocol, Origin (Sec-WebSocket-Origin below version 13),
// Cookie and Sec-WebSocket-Extensions. The text is UTF-8; the caller converts
// it to the wire's code page.
std::string BuildHandshakeRequest(const HandshakeRequest& request, std::string_view key);

// The Sec-WebSocket-Accept value that answers `key`:
// Base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")).
std::string AcceptFor(std::string_view key);

// The server's response head as read line by line.
struct ResponseHead {
  bool has_status = false;
  std::string status_line;
  // Header values by lower-cased name; repeated headers are joined with ",".
  std::map<std::string, std::string> headers;
  // What has been added so far: bytes with the line ends, and header lines.
  size_t bytes = 0;
  size_t header_lines = 0;
};

// The longest next line (without its CR LF) that still fits the head's byte
// limit; 0 when none does.
size_t ResponseHeadRoom(const ResponseHead& head);

// Adds one line (without its CR LF). The first line is the status line; each
// later one is a header: the name is the text before the first ":", trimmed and
// lower-cased, the value the trimmed text after it. A line without ":" is name
// and value at once. Empty values are not stored; a value for a name that
// already has one is appended after a comma. False, and nothing added, when
// the line would take the head beyond kHandshakeHeadLimit bytes or
// kHandshakeHeaderLines header lines.
bool AddResponseLine(ResponseHead& head, std::string_view line);

// The server's answer to a request sent with `key`. `accepted` needs a status
// line beginning "HTTP/1.1 101" (any letter case), an Upgrade header that is
// exactly "websocket" and a Connection header that is exactly "upgrade" (both
// in any letter case, as whole values) and the exact Sec-WebSocket-Accept.
// `protocol` and `extension` are the server's values, or "-" when it named
// none, whatever the outcome.
struct HandshakeVerdict {
  bool accepted = false;
  std::string protocol;
  std::string extension;
};
HandshakeVerdict CheckHandshakeResponse(const ResponseHead& head, std::string_view key);

}  // namespace kestrin::transport
