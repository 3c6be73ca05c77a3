// Feeds a server's answer to the opening handshake, line by line as the
// client reads it (LF ends a line, a CR before it is dropped, the text is
// turned from the wire's code page into UTF-8), into the response head, then
// judges it. The head never grows beyond its byte and line limits, a refused
// line changes nothing, and an accepted answer carries the 101 status and the
// exact accept value.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/codepage.h"
#include "transport/websocket_handshake.h"

namespace {

using namespace kestrin::transport;

constexpr std::string_view kKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  ResponseHead head;
  while (!input.empty()) {
    size_t lf = input.find('\n');
    std::string_view raw = input.substr(0, lf);
    input = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (raw.empty()) break;  // the end of the head
    const ResponseHead before = head;
    if (!AddResponseLine(head, kestrin::platform::Cp1251ToUtf8(raw))) {
      FUZZ_CHECK(head.bytes == before.bytes && head.header_lines == before.header_lines &&
                 head.has_status == before.has_status && head.headers == before.headers);
      break;
    }
    FUZZ_CHECK(head.bytes <= kHandshakeHeadLimit);
    FUZZ_CHECK(head.header_lines <= kHandshakeHeaderLines);
  }
  HandshakeVerdict verdict = CheckHandshakeResponse(head, kKey);
  if (verdict.accepted) {
    FUZZ_CHECK(Lower(head.status_line).starts_with("http/1.1 101"));
    FUZZ_CHECK(head.headers.at("sec-websocket-accept") == AcceptFor(kKey));
  }
  return 0;
}
