#include "web/request.h"

#include <gtest/gtest.h>

#include "service/base64.h"

namespace kestrin::web {
namespace {

using Lines = std::vector<std::string>;

TEST(ParameterList, FormBodyFirstThenQuerySplitAtAmpersandOnly) {
  EXPECT_EQ(BuildParameterList("b=2&c=3", "application/x-www-form-urlencoded", "a=1"),
            (Lines{"b=2", "c=3", "a=1"}));
  // Semicolons do not split; "+" is a space; "%2B" a plus; "%26" an ampersand inside a value.
  EXPECT_EQ(BuildParameterList("", "", "x=a;b&y=1+2%2B3&z=%26"),
            (Lines{"x=a;b", "y=1 2+3", "z=&"}));
  // A body that is not a form contributes nothing.
  EXPECT_EQ(BuildParameterList("b=2", "text/plain", "a=1"), (Lines{"a=1"}));
  EXPECT_EQ(BuildParameterList("b=2", "Application/X-WWW-Form-Urlencoded; charset=UTF-8", ""),
            (Lines{"b=2"}));
  // Empty pairs are skipped; a pair without "=" stays a line.
  EXPECT_EQ(BuildParameterList("", "", "&&flag&"), (Lines{"flag"}));
}

TEST(ParameterList, PercentEscapesDecodeAsUtf8OrTheDeclaredCharset) {
  EXPECT_EQ(ParsePairs("n=%D0%9A%D0%B0%D0%BC", FormCharset::kUtf8), (Lines{"n=Кам"}));
  EXPECT_EQ(BuildParameterList("n=%CA%E0%EC",
                               "application/x-www-form-urlencoded; charset=windows-1251", ""),
            (Lines{"n=Кам"}));
  // Bytes that are no UTF-8 become U+FFFD, never raw bytes in a page.
  EXPECT_EQ(ParsePairs("n=%FFa", FormCharset::kUtf8), (Lines{"n=\xEF\xBF\xBD"
                                                             "a"}));
  // A "%" without two hexadecimal digits stays.
  EXPECT_EQ(ParsePairs("n=100%&m=%4", FormCharset::kUtf8), (Lines{"n=100%", "m=%4"}));
}

TEST(RequestPath, PercentDecodingKeepsPlus) {
  EXPECT_EQ(PercentDecode("/main%2Ecss", false), "/main.css");
  EXPECT_EQ(PercentDecode("/a+b", false), "/a+b");
}

TEST(Cookies, KeptInOrderWithDuplicates) {
  std::vector<std::pair<std::string, std::string>> cookies;
  AppendCookies("authfd=1234567890123; other=x;authfd=0", cookies);
  AppendCookies("lonely", cookies);
  ASSERT_EQ(cookies.size(), 4u);
  EXPECT_EQ(cookies[0], (std::pair<std::string, std::string>{"authfd", "1234567890123"}));
  EXPECT_EQ(cookies[1], (std::pair<std::string, std::string>{"other", "x"}));
  EXPECT_EQ(cookies[2], (std::pair<std::string, std::string>{"authfd", "0"}));
  EXPECT_EQ(cookies[3], (std::pair<std::string, std::string>{"lonely", ""}));
}

TEST(BasicCredentials, DecodedAndSplitAtFirstColon) {
  using Pair = std::pair<std::string, std::string>;
  std::string encoded = service::Base64Encode("admin:pa:ss");
  EXPECT_EQ(DecodeBasicCredentials("Basic " + encoded), (Pair{"admin", "pa:ss"}));
  EXPECT_EQ(DecodeBasicCredentials("basic " + encoded), (Pair{"admin", "pa:ss"}));
  EXPECT_EQ(DecodeBasicCredentials("Bearer " + encoded), (Pair{}));
  EXPECT_EQ(DecodeBasicCredentials(""), (Pair{}));
  EXPECT_EQ(DecodeBasicCredentials("Basic " + service::Base64Encode("Админ:пароль")),
            (Pair{"Админ", "пароль"}));
}

TEST(LocalClient, PeerAndLocalAddressMustBeEqual) {
  struct Case {
    const char* peer;
    const char* local;
    bool local_client;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"192.168.1.10", "192.168.1.10", true},  // the machine's own network address
      {"192.168.1.11", "192.168.1.10", false},
      {"::ffff:127.0.0.1", "::ffff:127.0.0.1", true},  // IPv4 on a dual-stack socket
      {"::ffff:10.0.0.2", "10.0.0.2", true},
      {"::ffff:10.0.0.3", "::ffff:10.0.0.2", false},
      {"::1", "::1", true},
      {"fe80::1", "fe80::2", false},
      {"", "", false},
      {"garbage", "garbage", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsLocalClient(c.peer, c.local), c.local_client) << c.peer << " " << c.local;
  }
}

}  // namespace
}  // namespace kestrin::web
