#include "web/request_origin.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace kestrin::web {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// "scheme://host[:port]" of an absolute URL; empty when it is none.
std::string_view OriginOf(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  size_t end = url.find_first_of("/?#", scheme_end + 3);
  return url.substr(0, end);
}

bool IsOwnOrigin(std::string_view origin, std::string_view host) {
  return !host.empty() && EqualsIgnoringCase(origin, "http://" + std::string(host));
}

}  // namespace

bool FromOwnOrigin(const RequestSource& source) {
  if (!source.fetch_site.empty()) {
    return EqualsIgnoringCase(source.fetch_site, "same-origin") ||
           EqualsIgnoringCase(source.fetch_site, "none");
  }
  if (!source.origin.empty()) return IsOwnOrigin(source.origin, source.host);
  if (!source.referer.empty()) return IsOwnOrigin(OriginOf(source.referer), source.host);
  return true;
}

}  // namespace kestrin::web
