#include "transport/websocket_frame.h"

#include <mutex>
#include <random>

namespace kestrin::transport {
namespace {

std::mutex random_mutex;

std::mt19937& Generator() {
  static std::mt19937 generator{std::random_device{}()};
  return generator;
}

}  // namespace

uint32_t RandomBelow(uint32_t bound) {
  std::lock_guard lock(random_mutex);
  return std::uniform_int_distribution<uint32_t>(0, bound - 1)(Generator());
}

MaskingKey NewMaskingKey() {
  MaskingKey key;
  for (uint8_t& b : key) b = static_cast<uint8_t>(RandomBelow(256));
  return key;
}

std::string EncodeFrameHeader(bool final, bool res1, bool res2, bool res3, int32_t code,
                              bool masked, uint64_t length) {
  std::string header;
  header += static_cast<char>((final ? 0x80 : 0) + (res1 ? 0x40 : 0) + (res2 ? 0x20 : 0) +
                              (res3 ? 0x10 : 0) + code);
  const int mask_bit = masked ? 0x80 : 0;
  if (length < 126) {
    header += static_cast<char>(mask_bit + static_cast<int>(length));
  } else if (length < 65536) {
    header += static_cast<char>(mask_bit + 126);
    header += static_cast<char>(length >> 8);
    header += static_cast<char>(length & 0xFF);
  } else {
    header += static_cast<char>(mask_bit + 127);
    for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>(length >> shift);
  }
  return header;
}

void ApplyMask(std::string& bytes, const MaskingKey& key) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ key[i % 4]);
}

std::string EncodeFrame(bool final, bool res1, bool res2, bool res3, int32_t code,
                        const MaskingKey* key, std::string_view payload) {
  std::string frame =
      EncodeFrameHeader(final, res1, res2, res3, code, key != nullptr, payload.size());
  frame.reserve(frame.size() + 4 + payload.size());
  if (key == nullptr) {
    frame.append(payload);
    return frame;
  }
  frame.append(reinterpret_cast<const char*>(key->data()), key->size());
  const size_t start = frame.size();
  frame.append(payload);
  for (size_t i = 0; i < payload.size(); ++i) {
    frame[start + i] = static_cast<char>(frame[start + i] ^ (*key)[i % 4]);
  }
  return frame;
}

std::string EncodeClosePayload(int32_t code, std::string_view reason) {
  std::string payload;
  payload += static_cast<char>((code >> 8) & 0xFF);
  payload += static_cast<char>(code & 0xFF);
  payload.append(reason.substr(0, kMaxCloseReason));
  return payload;
}

ClosePayload DecodeClosePayload(std::string_view payload) {
  ClosePayload result;
  if (payload.size() < 2) return result;
  result.code = static_cast<uint8_t>(payload[0]) * 256 + static_cast<uint8_t>(payload[1]);
  result.reason = std::string(payload.substr(2));
  return result;
}

}  // namespace kestrin::transport
