#include "transport/websocket_handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/base64.h"

namespace kestrin::transport {
namespace {

TEST(HandshakeKey, IsSixteenCharactersFrom32To116InBase64) {
  for (int i = 0; i < 200; ++i) {
    std::string key = MakeHandshakeKey();
    ASSERT_EQ(key.size(), 24u);
    std::string raw = service::Base64DecodeGroups(key);
    ASSERT_EQ(raw.size(), 16u);
    for (unsigned char c : raw) {
      ASSERT_GE(c, 32);
      ASSERT_LE(c, 116);
    }
  }
  EXPECT_NE(MakeHandshakeKey(), MakeHandshakeKey());
}

TEST(HandshakeAccept, MatchesTheProtocolsExample) {
  EXPECT_EQ(AcceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(HandshakeRequest, ServiceArgumentsGiveSixLinesAndTheEmptyLine) {
  HandshakeRequest r{"192.168.1.5", "7712", "/", "-", "-", "-", "-", 13};
  EXPECT_EQ(BuildHandshakeRequest(r, "KEY"),
            "GET / HTTP/1.1\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Host: 192.168.1.5:7712\r\n"
            "Sec-WebSocket-Key: KEY\r\n"
            "Sec-WebSocket-Version: 13\r\n"
            "\r\n");
}

TEST(HandshakeRequest, OptionalLinesInOrderAndOriginByVersion) {
  struct Case {
    HandshakeRequest request;
    std::string optional_lines;
  } cases[] = {
      {{"h", "1", "/x", "http://o", "chat", "ext", "c=1", 13},
       "Sec-WebSocket-Protocol: chat\r\nOrigin: http://o\r\nCookie: c=1\r\n"
       "Sec-WebSocket-Extensions: ext\r\n"},
      {{"h", "1", "/x", "http://o", "-", "-", "-", 8}, "Sec-WebSocket-Origin: http://o\r\n"},
      {{"h", "1", "/x", "http://o", "-", "-", "-", 12}, "Sec-WebSocket-Origin: http://o\r\n"},
      {{"h", "1", "/x", "http://o", "-", "-", "-", 14}, "Origin: http://o\r\n"},
      // Only "-" marks a value as absent; an empty value is sent.
      {{"h", "1", "/x", "-", "", "-", "", 13}, "Sec-WebSocket-Protocol: \r\nCookie: \r\n"},
  };
  for (const Case& c : cases) {
    std::string fixed =
        "GET /x HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Host: h:1\r\nSec-WebSocket-Key: K\r\nSec-WebSocket-Version: " +
        std::to_string(c.request.version) + "\r\n";
    EXPECT_EQ(BuildHandshakeRequest(c.request, "K"), fixed + c.optional_lines + "\r\n");
  }
}

// Builds a head from lines, the first being the status line.
ResponseHead Head(const std::vector<std::string>& lines) {
  ResponseHead head;
  for (const std::string& line : lines) AddResponseLine(head, line);
  return head;
}

TEST(HandshakeResponse, StatusAndHeaderTests) {
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::string accept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    bool accepted;
  } cases[] = {
      {"usual answer",
       {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade", accept},
       true},
      {"any reason phrase, lower case, blanks around values",
       {"http/1.1 101 ok", "upgrade:websocket ", "connection:   upgrade", accept},
       true},
      {"names and values in other letter cases",
       {"HTTP/1.1 101", "UPGRADE: WebSocket", "CONNECTION: UPGRADE", accept},
       true},
      {"HTTP/1.0",
       {"HTTP/1.0 101 Switching", "Upgrade: websocket", "Connection: Upgrade", accept},
       false},
      {"status 200",
       {"HTTP/1.1 200 OK", "Upgrade: websocket", "Connection: Upgrade", accept},
       false},
      {"connection lists keep-alive first",
       {"HTTP/1.1 101 x", "Upgrade: websocket", "Connection: keep-alive, Upgrade", accept},
       false},
      {"two connection lines are joined",
       {"HTTP/1.1 101 x", "Upgrade: websocket", "Connection: Upgrade", "Connection: Upgrade",
        accept},
       false},
      {"missing upgrade", {"HTTP/1.1 101 x", "Connection: Upgrade", accept}, false},
      {"missing accept", {"HTTP/1.1 101 x", "Upgrade: websocket", "Connection: Upgrade"}, false},
      {"accept differing in letter case",
       {"HTTP/1.1 101 x", "Upgrade: websocket", "Connection: Upgrade",
        "Sec-WebSocket-Accept: S3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
       false},
      {"accept of another key",
       {"HTTP/1.1 101 x", "Upgrade: websocket", "Connection: Upgrade",
        "Sec-WebSocket-Accept: " + AcceptFor("another")},
       false},
      {"empty status line", {"", "Upgrade: websocket", "Connection: Upgrade", accept}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckHandshakeResponse(Head(c.lines), key).accepted, c.accepted) << c.what;
  }
}

TEST(HandshakeResponse, HeaderTableJoinsTrimsAndSkipsEmptyValues) {
  ResponseHead head = Head(
      {"HTTP/1.1 101", "X-A: one", "x-a:two ", "X-B:", "X-B: b", "  no colon here ", "X-C: a:b"});
  EXPECT_EQ(head.status_line, "HTTP/1.1 101");
  EXPECT_EQ(head.headers.at("x-a"), "one,two");
  EXPECT_EQ(head.headers.at("x-b"), "b");
  EXPECT_EQ(head.headers.at("no colon here"), "no colon here");
  EXPECT_EQ(head.headers.at("x-c"), "a:b");
}

TEST(HandshakeResponse, HeadIsLimitedInLinesAndBytes) {
  ResponseHead lines;
  ASSERT_TRUE(AddResponseLine(lines, "HTTP/1.1 101"));
  for (size_t i = 0; i < kHandshakeHeaderLines; ++i) {
    ASSERT_TRUE(AddResponseLine(lines, "X-" + std::to_string(i) + ": v")) << i;
  }
  EXPECT_FALSE(AddResponseLine(lines, "X-Last: v"));
  EXPECT_EQ(lines.headers.count("x-last"), 0u);
  EXPECT_EQ(lines.header_lines, kHandshakeHeaderLines);

  // Status line and one header filling the head to the byte, line ends
  // counted: the next line, even an empty one, no longer fits.
  const std::string status = "HTTP/1.1 101 x";
  const std::string filler(kHandshakeHeadLimit - status.size() - 2 - 2 - 3, 'a');
  ResponseHead bytes;
  ASSERT_TRUE(AddResponseLine(bytes, status));
  EXPECT_EQ(ResponseHeadRoom(bytes), kHandshakeHeadLimit - status.size() - 4);
  EXPECT_FALSE(AddResponseLine(bytes, "X: " + filler + "a"));
  ASSERT_TRUE(AddResponseLine(bytes, "X: " + filler));
  EXPECT_EQ(bytes.bytes, kHandshakeHeadLimit);
  EXPECT_EQ(ResponseHeadRoom(bytes), 0u);
  EXPECT_FALSE(AddResponseLine(bytes, "Y"));
  EXPECT_EQ(bytes.headers.at("x"), filler);

  ResponseHead long_status;
  EXPECT_FALSE(AddResponseLine(long_status, std::string(kHandshakeHeadLimit, 'H')));
  EXPECT_FALSE(long_status.has_status);
}

TEST(HandshakeResponse, ProtocolAndExtensionComeFromTheAnswer) {
  HandshakeVerdict none = CheckHandshakeResponse(Head({"HTTP/1.1 101"}), "k");
  EXPECT_EQ(none.protocol, "-");
  EXPECT_EQ(none.extension, "-");
  // Taken even from a refused answer, without comparing with the offer.
  HandshakeVerdict named = CheckHandshakeResponse(
      Head({"HTTP/1.1 400", "Sec-WebSocket-Protocol:  chat ", "Sec-WebSocket-Extensions: x"}), "k");
  EXPECT_FALSE(named.accepted);
  EXPECT_EQ(named.protocol, "chat");
  EXPECT_EQ(named.extension, "x");
}

}  // namespace
}  // namespace kestrin::transport
