#include "web/request_origin.h"

#include <gtest/gtest.h>

namespace kestrin::web {
namespace {

TEST(RequestOriginTest, OnlyTheServicesOwnOriginOrNoBrowserWordPasses) {
  struct Case {
    RequestSource source;
    bool own;
  } cases[] = {
      // Sec-Fetch-Site decides when present, whatever else the request carries.
      {{"same-origin", "", "", "127.0.0.1:8035"}, true},
      {{"none", "", "", "127.0.0.1:8035"}, true},  // typed or bookmarked
      {{"Same-Origin", "", "", "127.0.0.1:8035"}, true},
      {{"same-site", "http://127.0.0.1:8035", "", "127.0.0.1:8035"}, false},
      {{"cross-site", "", "", "127.0.0.1:8035"}, false},
      {{"anything", "", "", "127.0.0.1:8035"}, false},
      // Without it, Origin.
      {{"", "http://127.0.0.1:8035", "", "127.0.0.1:8035"}, true},
      {{"", "HTTP://Kestrin:8035", "", "kestrin:8035"}, true},
      {{"", "http://127.0.0.1:9000", "http://127.0.0.1:8035/", "127.0.0.1:8035"}, false},
      {{"", "http://localhost:8035", "", "127.0.0.1:8035"}, false},
      {{"", "https://127.0.0.1:8035", "", "127.0.0.1:8035"}, false},
      {{"", "null", "", "127.0.0.1:8035"}, false},
      {{"", "http://127.0.0.1:8035", "", ""}, false},  // no Host to compare with
      // Without both, the origin of Referer.
      {{"", "", "http://127.0.0.1:8035/rules?editrule=1", "127.0.0.1:8035"}, true},
      {{"", "", "http://127.0.0.1:8035", "127.0.0.1:8035"}, true},
      {{"", "", "http://127.0.0.1:8035.evil.example/", "127.0.0.1:8035"}, false},
      {{"", "", "http://evil.example/?http://127.0.0.1:8035", "127.0.0.1:8035"}, false},
      {{"", "", "garbage", "127.0.0.1:8035"}, false},
      // No word from a browser at all: a client of its own (curl, a script).
      {{"", "", "", "127.0.0.1:8035"}, true},
      {{"", "", "", ""}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FromOwnOrigin(c.source), c.own)
        << "fetch-site '" << c.source.fetch_site << "' origin '" << c.source.origin << "' referer '"
        << c.source.referer << "' host '" << c.source.host << "'";
  }
}

}  // namespace
}  // namespace kestrin::web
