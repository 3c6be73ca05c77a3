#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrin::transport {

// Opcodes of the frames this transport knows.
inline constexpr int32_t kOpContinuation = 0;
inline constexpr int32_t kOpText = 1;
inline constexpr int32_t kOpBinary = 2;
inline constexpr int32_t kOpClose = 8;
inline constexpr int32_t kOpPing = 9;
inline constexpr int32_t kOpPong = 10;

// Close codes the transport reports or sends itself.
inline constexpr int32_t kCloseNormal = 1000;
inline constexpr int32_t kCloseProtocolError = 1002;
inline constexpr int32_t kCloseUnsupportedData = 1003;
inline constexpr int32_t kCloseNoStatus = 1005;
inline constexpr int32_t kCloseAbnormal = 1006;
inline constexpr int32_t kCloseTooBig = 1009;

// The largest payload a received frame may announce; a larger one ends the
// connection with kCloseTooBig instead of being read into memory.
inline constexpr uint64_t kMaxReceivedPayload = 16u << 20;

// The longest close reason sent, in bytes of the eight-bit code page (one
// byte per character).
inline constexpr size_t kMaxCloseReason = 123;

using MaskingKey = std::array<uint8_t, 4>;

// The process-wide pseudo-random generator: a value uniform in 0..bound-1.
// Any thread.
uint32_t RandomBelow(uint32_t bound);

// Four fresh key bytes, each uniform in 0..255.
MaskingKey NewMaskingKey();

// The frame header without the masking key: flags and opcode in the first
// byte (the opcode is added as given), the MASK bit and the length in its
// shortest form (7 bits, 16 bits or 64 bits, most significant byte first).
std::string EncodeFrameHeader(bool final, bool res1, bool res2, bool res3, int32_t code,
                              bool masked, uint64_t length);

// XORs byte i of `bytes` with key byte i modulo 4, in place.
void ApplyMask(std::string& bytes, const MaskingKey& key);

// A whole frame: header, the key when `key` is given, and the payload, masked
// with that key.
std::string EncodeFrame(bool final, bool res1, bool res2, bool res3, int32_t code,
                        const MaskingKey* key, std::string_view payload);

// The payload of a Close frame: the code as two bytes, most significant first,
// then at most kMaxCloseReason bytes of `reason` (already in the code page).
std::string EncodeClosePayload(int32_t code, std::string_view reason);

// Code and reason bytes of a received Close frame. A payload shorter than two
// bytes means no status: kCloseNoStatus and no reason.
struct ClosePayload {
  int32_t code = kCloseNoStatus;
  std::string reason;
};
ClosePayload DecodeClosePayload(std::string_view payload);

}  // namespace kestrin::transport
