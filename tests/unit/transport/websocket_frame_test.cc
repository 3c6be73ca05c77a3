#include "transport/websocket_frame.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kestrin::transport {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST(FrameHeader, LengthTakesTheShortestForm) {
  struct Case {
    uint64_t length;
    std::string expected;  // after the first byte
  } cases[] = {
      {0, Bytes({0x80})},
      {19, Bytes({0x93})},
      {125, Bytes({0xFD})},
      {126, Bytes({0xFE, 0x00, 0x7E})},
      {200, Bytes({0xFE, 0x00, 0xC8})},
      {65535, Bytes({0xFE, 0xFF, 0xFF})},
      {65536, Bytes({0xFF, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00})},
      {70000, Bytes({0xFF, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70})},
  };
  for (const Case& c : cases) {
    std::string header = EncodeFrameHeader(true, false, false, false, kOpText, true, c.length);
    EXPECT_EQ(header.substr(1), c.expected) << "length " << c.length;
  }
  // Unmasked: the same forms without the MASK bit.
  EXPECT_EQ(EncodeFrameHeader(true, false, false, false, kOpBinary, false, 70000),
            Bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}));
}

TEST(FrameHeader, FirstByteCarriesFlagsAndOpcode) {
  struct Case {
    bool fin, r1, r2, r3;
    int32_t code;
    int expected;
  } cases[] = {
      {true, false, false, false, kOpText, 0x81},
      {false, false, false, false, kOpContinuation, 0x00},
      {true, true, false, false, kOpBinary, 0xC2},
      {true, false, true, false, kOpClose, 0xA8},
      {true, false, false, true, kOpPong, 0x9A},
      {false, true, true, true, 15, 0x7F},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<uint8_t>(EncodeFrameHeader(c.fin, c.r1, c.r2, c.r3, c.code, false, 0)[0]),
              c.expected);
  }
}

TEST(FrameEncoding, MasksPayloadWithKeyModuloFour) {
  const MaskingKey key{0x01, 0x02, 0x04, 0x80};
  std::string frame = EncodeFrame(true, false, false, false, kOpText, &key, "abcde");
  EXPECT_EQ(frame, Bytes({0x81, 0x85, 0x01, 0x02, 0x04, 0x80, 'a' ^ 0x01, 'b' ^ 0x02, 'c' ^ 0x04,
                          'd' ^ 0x80, 'e' ^ 0x01}));
  std::string unmasked = EncodeFrame(true, false, false, false, kOpText, nullptr, "abc");
  EXPECT_EQ(unmasked, Bytes({0x81, 0x03, 'a', 'b', 'c'}));
}

TEST(FrameEncoding, MaskingKeysAreDrawnAnew) {
  std::set<MaskingKey> keys;
  for (int i = 0; i < 50; ++i) keys.insert(NewMaskingKey());
  EXPECT_GT(keys.size(), 45u);
}

TEST(ClosePayload, EncodesCodeAndCutsReason) {
  EXPECT_EQ(EncodeClosePayload(1000, "bye"), Bytes({0x03, 0xE8, 'b', 'y', 'e'}));
  EXPECT_EQ(EncodeClosePayload(1002, ""), Bytes({0x03, 0xEA}));
  std::string payload = EncodeClosePayload(1000, std::string(200, 'x'));
  EXPECT_EQ(payload.size(), 2u + 123u);
}

TEST(ClosePayload, Decodes) {
  struct Case {
    std::string payload;
    int32_t code;
    std::string reason;
  } cases[] = {
      {"", 1005, ""},
      {Bytes({0x03}), 1005, ""},
      {Bytes({0x03, 0xE8}), 1000, ""},
      {Bytes({0x03, 0xE8, 'b', 'y', 'e'}), 1000, "bye"},
      {Bytes({0xFF, 0xFF, 0xC0}), 65535, "\xC0"},
  };
  for (const Case& c : cases) {
    ClosePayload close = DecodeClosePayload(c.payload);
    EXPECT_EQ(close.code, c.code);
    EXPECT_EQ(close.reason, c.reason);
  }
}

}  // namespace
}  // namespace kestrin::transport
