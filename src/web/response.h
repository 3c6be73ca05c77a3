#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrin::web {

// What the request handler sets on a reply; the HTTP server turns it into the
// wire form.
struct WebResponse {
  int status = 200;
  std::string content_type;                                  // empty: no Content-Type, no body
  std::string body;                                          // text or bytes
  std::string location;                                      // with status 302
  std::vector<std::pair<std::string, std::string>> cookies;  // name and value only
  std::string realm;  // non-empty: a 401 Basic challenge for this realm

  // A page: `page_body` inside the page frame, as UTF-8 HTML.
  static WebResponse Page(std::string_view page_body);
  // A text sent as HTML without the page frame ("restart", "ошибка").
  static WebResponse PlainText(std::string_view text);
  // Status 302 to `path`, no body.
  static WebResponse Redirect(std::string path);
  // Bytes of a picture with their content type.
  static WebResponse Picture(std::string content_type, std::string bytes);
  // Status 200 with nothing else.
  static WebResponse Empty();
  // The Basic challenge of realm "Access control".
  static WebResponse Challenge();
};

inline constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
inline constexpr std::string_view kRealm = "Access control";

}  // namespace kestrin::web
