// The low-level Blowfish interface is the only one that works without the
// legacy provider of OpenSSL 3; it is kept on purpose.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "service/password_cipher.h"

#include <openssl/blowfish.h>

#include <array>
#include <cstring>

#include "platform/codepage.h"
#include "service/base64.h"
#include "service/digests.h"

namespace kestrin::service {
namespace {

// One CFB-8 walk over `input`. When deciphering, the register takes the input
// byte; when enciphering, the output byte (in both cases the ciphertext).
std::string CfbWalk(std::string_view input, std::string_view key_text, bool decipher) {
  std::string key = Sha256Bytes(platform::Utf8ToCp1251(key_text));
  BF_KEY schedule;
  BF_set_key(&schedule, static_cast<int>(key.size()), reinterpret_cast<const uint8_t*>(key.data()));

  std::array<uint8_t, 8> zero{};
  std::array<uint8_t, 8> reg{};
  BF_ecb_encrypt(zero.data(), reg.data(), &schedule, BF_ENCRYPT);

  std::string out(input.size(), '\0');
  for (size_t i = 0; i < input.size(); ++i) {
    std::array<uint8_t, 8> block{};
    BF_ecb_encrypt(reg.data(), block.data(), &schedule, BF_ENCRYPT);
    uint8_t in = static_cast<uint8_t>(input[i]);
    uint8_t result = in ^ block[0];
    out[i] = static_cast<char>(result);
    std::memmove(reg.data(), reg.data() + 1, reg.size() - 1);
    reg[7] = decipher ? in : result;
  }
  return out;
}

}  // namespace

std::string EncipherDigest(std::string_view digest, std::string_view key_text) {
  return Base64Encode(CfbWalk(platform::Utf8ToCp1251(digest), key_text, false));
}

std::string DecipherDigest(std::string_view stored, std::string_view key_text) {
  return platform::Cp1251ToUtf8(CfbWalk(Base64DecodeGroups(stored), key_text, true));
}

}  // namespace kestrin::service
