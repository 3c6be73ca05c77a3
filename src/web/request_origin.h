#pragma once

#include <string_view>

namespace kestrin::web {

// What a browser says about where a request comes from.
struct RequestSource {
  std::string_view fetch_site;  // the "Sec-Fetch-Site" header
  std::string_view origin;      // the "Origin" header
  std::string_view referer;     // the "Referer" header
  std::string_view host;        // the "Host" header the request was sent with
};

// False when the browser tells that the request was started by a page of
// another origin than "http://" + host: "Sec-Fetch-Site" other than
// "same-origin" or "none" (typed or bookmarked), or, without it, an "Origin"
// or else a "Referer" of another origin ("Origin: null" included). A request
// that carries none of these headers is no browser's cross-origin request
// and passes.
bool FromOwnOrigin(const RequestSource& source);

}  // namespace kestrin::web
