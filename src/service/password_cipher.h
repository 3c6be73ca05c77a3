#pragma once

#include <string>
#include <string_view>

namespace kestrin::service {

// The stored form of the password digest (settings key connect/pass): Base64 of
// the digest's eight-bit bytes enciphered with Blowfish in 8-bit CFB mode. The
// key is the SHA-256 of the key text's eight-bit bytes; the shift register
// starts at the Blowfish encryption of eight zero bytes. Every call keys a
// fresh cipher, so one digest always gives the same text on one machine.
// Texts are UTF-8 in memory and converted to Windows-1251 here.
std::string EncipherDigest(std::string_view digest, std::string_view key_text);

// The reverse walk; the stored text is decoded with tolerant Base64 and the
// deciphered bytes are taken as eight-bit text.
std::string DecipherDigest(std::string_view stored, std::string_view key_text);

}  // namespace kestrin::service
