#include "service/password_cipher.h"

#include <gtest/gtest.h>

#include "service/base64.h"
#include "service/digests.h"

namespace kestrin::service {
namespace {

// Vectors computed independently of this code: Blowfish CFB with 8-bit
// segments, IV = Blowfish-ECB of eight zero bytes, key = SHA-256 of the key text.
struct CipherCase {
  const char* password;
  const char* digest;
  const char* key_text;
  const char* stored;
};

const CipherCase kCipherCases[] = {
    {"secret", "5EBE2294ECD0E0F08EAB7690D2A6EE69", "7d1e0b93f4a2586cd0e7b3a19f4c2e58",
     "vg0zBd8d5UVQ8b4ERDbtY/KTPzHAAMu52EvYKEhLEXU="},
    {"пароль", "749789E4982B0C563F6729AAC100A614", "0123456789abcdef0123456789abcdef",
     "4+JE2DM6b86K1RvSUdiNZ5gmrgtPc9OXKgROQ26oSF0="},
};

TEST(PasswordCipherTest, MatchesIndependentVectorsBothWays) {
  for (const CipherCase& c : kCipherCases) {
    SCOPED_TRACE(c.password);
    EXPECT_EQ(PasswordDigest(c.password), c.digest);
    EXPECT_EQ(EncipherDigest(c.digest, c.key_text), c.stored);
    EXPECT_EQ(DecipherDigest(c.stored, c.key_text), c.digest);
  }
  EXPECT_EQ(EncipherDigest("A", "k"), "Xw==");
}

TEST(PasswordCipherTest, SameDigestAlwaysGivesSameStoredText) {
  std::string first = EncipherDigest(kCipherCases[0].digest, "key");
  EXPECT_EQ(EncipherDigest(kCipherCases[0].digest, "key"), first);
  EXPECT_EQ(first.size(), 44u);
  EXPECT_EQ(first.back(), '=');
}

TEST(PasswordCipherTest, OtherKeyTextGivesWrongDigestWithoutError) {
  std::string wrong = DecipherDigest(kCipherCases[0].stored, "another machine");
  EXPECT_NE(wrong, kCipherCases[0].digest);
}

TEST(PasswordCipherTest, GarbageStoredTextNeverFails) {
  for (const char* stored : {"", "!", "!!!!", "AAAA", "@@@@@@@@@@@@@", "====", "=A=="}) {
    SCOPED_TRACE(stored);
    EXPECT_NO_THROW(DecipherDigest(stored, "k"));
  }
}

struct Base64Case {
  std::string text;
  std::string bytes;
};

TEST(Base64Test, DecodesOnlyCompleteGroupsTolerantly) {
  const Base64Case cases[] = {
      {"", ""},
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TWFuTW", "Man"},                         // the partial group is ignored
      {"TW", ""},                                // no complete group
      {"A!A*", std::string("\x00\x00\x00", 3)},  // characters outside decode as zero bits
  };
  for (const Base64Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64DecodeGroups(c.text), c.bytes);
  }
}

TEST(Base64Test, EncodesWithPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("M"), "TQ==");
  EXPECT_EQ(Base64Encode("Ma"), "TWE=");
  EXPECT_EQ(Base64Encode("Man"), "TWFu");
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff", 2)), "+/8=");
}

}  // namespace
}  // namespace kestrin::service
