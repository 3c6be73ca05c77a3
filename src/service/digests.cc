#include "service/digests.h"

#include <openssl/evp.h>

#include "platform/codepage.h"

namespace kestrin::service {
namespace {

std::string Digest(const EVP_MD* md, std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), length);
}

}  // namespace

std::string Md5Hex(std::string_view bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string hex;
  for (unsigned char c : Digest(EVP_md5(), bytes)) {
    hex += digits[c >> 4];
    hex += digits[c & 0xF];
  }
  return hex;
}

std::string PasswordDigest(std::string_view password) {
  return Md5Hex(platform::Utf8ToCp1251(password), true);
}

std::string Sha1Bytes(std::string_view bytes) {
  return Digest(EVP_sha1(), bytes);
}

std::string Sha256Bytes(std::string_view bytes) {
  return Digest(EVP_sha256(), bytes);
}

}  // namespace kestrin::service
