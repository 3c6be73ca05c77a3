#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"
#include "web/response.h"
#include "web/web_context.h"

namespace kestrin::web {

// The made-up access event of a rule, as the event queue carries it:
//   {"type":"event", "version":1, "time":"2021-08-12T14:05:09","dvs":"...",
//    "ror":"1","ev1":"10","ev2":"8","key":"0","id":"15900"}
// (one line; a space after the first two commas only). ev1 and ev2 are the
// two halves of the four-digit hexadecimal `code` in decimal. Nothing when
// `code` is not four hexadecimal digits. The controller number is escaped for
// JSON.
std::optional<std::string> DemoEventText(const platform::LocalFields& now,
                                         std::string_view controller, std::string_view code);

// "/demotest" with "ruleid=" (first line only): looks the rule up and puts
// its demonstration event on the event queue, so that the rule's camera takes
// its photos as if the event had happened. Replies with the page
// "<p>демонстрационное событие сгенерировано</p>", or "ошибка" for a rule id
// that is not 13 characters, a rule that is not found, an unknown or
// unreachable database. `db_path` is the copy taken at the start of the
// request. Statement errors propagate (the server answers 500).
WebResponse DemoEventReply(const std::vector<std::string>& params, const std::string& db_path,
                           const WebContext& context);

}  // namespace kestrin::web
