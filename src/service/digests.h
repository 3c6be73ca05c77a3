#pragma once

#include <string>
#include <string_view>

namespace kestrin::service {

// The password digest: the 32 uppercase hexadecimal digits of the MD5 digest of
// the password's eight-bit (Windows-1251) text. `password` is UTF-8.
std::string PasswordDigest(std::string_view password);

// Hexadecimal MD5 of raw bytes.
std::string Md5Hex(std::string_view bytes, bool upper);

// The 20 raw bytes of the SHA-1 digest of `bytes`.
std::string Sha1Bytes(std::string_view bytes);

// The 32 raw bytes of the SHA-256 digest of `bytes`.
std::string Sha256Bytes(std::string_view bytes);

}  // namespace kestrin::service
