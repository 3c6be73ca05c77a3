#include "web/page.h"

#include <chrono>

#include "web/response.h"

namespace kestrin::web {

const std::string_view kPageHead =
    "<html lang=\"ru\"><head><meta charset=\"utf-8\"><meta http-equiv=\"Cache-Control\" "
    "content=\"no-cache\"/><title>Видеосервер</title><link rel=\"stylesheet\" type=\"text/css\" "
    "media=\"all\" href=\"/main.css\"></head><body>";

const std::string_view kPageTail = "</body></html>";

const std::string_view kMenuLine =
    "<p align=\"right\"><a href=\"/\">Главная</a>&nbsp;&nbsp;|&nbsp;&nbsp;<a "
    "href=\"/rules\">Правила</a>&nbsp;&nbsp;|&nbsp;&nbsp;<a href=\"/exit\">Выйти</a></p><hr>";

// One line; in "td" and ".warn" a tab stands before "padding".
const std::string_view kStylesheet =
    "body,td,input,textarea,select{font-family:arial,sans-serif;font-size:14px;}"
    "#menu {font-size: 16px;font-weight: bold;color: #D1D7DC;}"
    "a:link,a:visited {color:#3C6DF0;text-decoration:none;}"
    "a:hover {color:#4D6185;}"
    "h1 {font-size: 18px;}"
    "table {min-width:700px;background-color: #CDCDCD;border-spacing:1px;}"
    "th {font-size: 14px;background-color: #CFE4EF;border: 1px solid #FFFFFF;color: "
    "#585858;padding: 4px;}"
    "td {background: #FBFBFB;color: #0;\tpadding: 6px;}"
    ".warn {background: #f4d7d7;color: #0;\tpadding: 6px;}"
    "hr {border: none; color: #585858; background-color: #585858; height: 2px;}";

std::string WrapPage(std::string_view page_body) {
  std::string page;
  page.reserve(kPageHead.size() + page_body.size() + kPageTail.size());
  page.append(kPageHead).append(page_body).append(kPageTail);
  return page;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int64_t MillisSince1900(const platform::LocalFields& local) {
  using namespace std::chrono;
  const sys_days epoch = year{1900} / January / 1;
  const sys_days date = year{local.year} / month(static_cast<unsigned>(local.month)) /
                        day(static_cast<unsigned>(local.day));
  int64_t days = (date - epoch).count();
  return days * 86400000 + local.hour * 3600000LL + local.minute * 60000LL + local.second * 1000LL +
         local.millisecond;
}

int64_t MillisSince1900Now() {
  return MillisSince1900(platform::ToLocalFields(platform::Now()));
}

WebResponse WebResponse::Page(std::string_view page_body) {
  WebResponse response;
  response.content_type = kHtmlContentType;
  response.body = WrapPage(page_body);
  return response;
}

WebResponse WebResponse::PlainText(std::string_view text) {
  WebResponse response;
  response.content_type = kHtmlContentType;
  response.body = text;
  return response;
}

WebResponse WebResponse::Redirect(std::string path) {
  WebResponse response;
  response.status = 302;
  response.location = std::move(path);
  return response;
}

WebResponse WebResponse::Picture(std::string content_type, std::string bytes) {
  WebResponse response;
  response.content_type = std::move(content_type);
  response.body = std::move(bytes);
  return response;
}

WebResponse WebResponse::Empty() {
  return WebResponse();
}

WebResponse WebResponse::Challenge() {
  WebResponse response;
  response.status = 401;
  response.realm = kRealm;
  return response;
}

}  // namespace kestrin::web
