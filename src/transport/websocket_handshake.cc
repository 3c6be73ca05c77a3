#include "transport/websocket_handshake.h"

#include <fmt/format.h>

#include "platform/text.h"
#include "service/base64.h"
#include "service/digests.h"
#include "transport/websocket_frame.h"

namespace kestrin::transport {
namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

const std::string* Find(const ResponseHead& head, const std::string& name) {
  auto it = head.headers.find(name);
  return it == head.headers.end() ? nullptr : &it->second;
}

}  // namespace

std::string MakeHandshakeKey() {
  std::string raw(16, '\0');
  for (char& c : raw) c = static_cast<char>(32 + RandomBelow(85));
  return service::Base64Encode(raw);
}

std::string BuildHandshakeRequest(const HandshakeRequest& r, std::string_view key) {
  std::string text = fmt::format(
      "GET {} HTTP/1.1\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Host: {}:{}\r\n"
      "Sec-WebSocket-Key: {}\r\n"
      "Sec-WebSocket-Version: {}\r\n",
      r.resource_name, r.host, r.port, key, r.version);
  if (r.protocol != kAbsent) text += fmt::format("Sec-WebSocket-Protocol: {}\r\n", r.protocol);
  if (r.origin != kAbsent) {
    text +=
        fmt::format("{}: {}\r\n", r.version >= 13 ? "Origin" : "Sec-WebSocket-Origin", r.origin);
  }
  if (r.cookie != kAbsent) text += fmt::format("Cookie: {}\r\n", r.cookie);
  if (r.extension != kAbsent) text += fmt::format("Sec-WebSocket-Extensions: {}\r\n", r.extension);
  text += "\r\n";
  return text;
}

std::string AcceptFor(std::string_view key) {
  std::string text(key);
  text += kAcceptGuid;
  return service::Base64Encode(service::Sha1Bytes(text));
}

size_t ResponseHeadRoom(const ResponseHead& head) {
  const size_t used = head.bytes + 2;  // the next line's CR LF
  return used < kHandshakeHeadLimit ? kHandshakeHeadLimit - used : 0;
}

bool AddResponseLine(ResponseHead& head, std::string_view line) {
  if (line.size() > ResponseHeadRoom(head)) return false;
  if (head.has_status && head.header_lines == kHandshakeHeaderLines) return false;
  head.bytes += line.size() + 2;
  if (!head.has_status) {
    head.has_status = true;
    head.status_line = std::string(line);
    return true;
  }
  ++head.header_lines;
  size_t colon = line.find(':');
  std::string name;
  std::string_view value;
  if (colon == std::string_view::npos) {
    name = platform::Lower(platform::Trim(line, platform::IsSpaceOrControl));
    value = platform::Trim(line, platform::IsSpaceOrControl);
  } else {
    name = platform::Lower(platform::Trim(line.substr(0, colon), platform::IsSpaceOrControl));
    value = platform::Trim(line.substr(colon + 1), platform::IsSpaceOrControl);
  }
  if (value.empty()) return true;
  std::string& stored = head.headers[name];
  if (!stored.empty()) stored += ',';
  stored += value;
  return true;
}

HandshakeVerdict CheckHandshakeResponse(const ResponseHead& head, std::string_view key) {
  HandshakeVerdict verdict;
  bool ok = platform::Lower(head.status_line).starts_with("http/1.1 101");
  if (ok) {
    const std::string* upgrade = Find(head, "upgrade");
    const std::string* connection = Find(head, "connection");
    ok = upgrade != nullptr && platform::Lower(*upgrade) == "websocket" && connection != nullptr &&
         platform::Lower(*connection) == "upgrade";
  }
  verdict.protocol = std::string(kAbsent);
  verdict.extension = std::string(kAbsent);
  if (const std::string* p = Find(head, "sec-websocket-protocol")) verdict.protocol = *p;
  if (const std::string* e = Find(head, "sec-websocket-extensions")) verdict.extension = *e;
  if (ok) {
    const std::string* accept = Find(head, "sec-websocket-accept");
    ok = accept != nullptr && *accept == AcceptFor(key);
  }
  verdict.accepted = ok;
  return verdict;
}

}  // namespace kestrin::transport
