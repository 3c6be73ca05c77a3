#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kestrin::web {

// The start of every HTML page, up to and including "<body>".
extern const std::string_view kPageHead;
// The end of every HTML page.
extern const std::string_view kPageTail;
// The menu line that opens the status page and the rules page.
extern const std::string_view kMenuLine;
// The stylesheet served as "/main.css" (one line, 576 characters).
extern const std::string_view kStylesheet;

// `page_body` inside the page frame.
std::string WrapPage(std::string_view page_body);

// `text` safe to place into HTML text or a quoted attribute value: &, <, >,
// " and ' become character references.
std::string HtmlEscape(std::string_view text);

// Milliseconds from 1 January 1900 00:00 to `local`, both read as local
// wall-clock times (13 decimal digits for present-day dates). Used for the
// "authfd" cookie and the form marks.
int64_t MillisSince1900(const platform::LocalFields& local);

// The same for the current local time.
int64_t MillisSince1900Now();

}  // namespace kestrin::web
