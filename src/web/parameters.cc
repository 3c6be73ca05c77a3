#include "web/parameters.h"

#include <strings.h>

namespace kestrin::web {

std::optional<std::string> ParamByName(const std::vector<std::string>& params,
                                       std::string_view name) {
  for (const std::string& line : params) {
    size_t eq = line.find('=');
    std::string_view line_name = std::string_view(line).substr(0, eq);
    if (line_name.size() != name.size() ||
        strncasecmp(line_name.data(), name.data(), name.size()) != 0) {
      continue;
    }
    // The first line of that name decides, even when its value is empty.
    if (eq == std::string::npos || eq + 1 == line.size()) return std::nullopt;
    return line.substr(eq + 1);
  }
  return std::nullopt;
}

bool ParamPresent(std::string_view param_text, std::string_view key) {
  return param_text.find(key) != std::string_view::npos;
}

std::string RemoveAll(std::string_view line, std::string_view key) {
  if (key.empty()) return std::string(line);
  std::string out;
  size_t begin = 0;
  while (true) {
    size_t at = line.find(key, begin);
    if (at == std::string_view::npos) break;
    out.append(line.substr(begin, at - begin));
    begin = at + key.size();
  }
  out.append(line.substr(begin));
  return out;
}

std::optional<std::string> ParamScan(const std::vector<std::string>& params, std::string_view key) {
  std::optional<std::string> value;
  for (const std::string& line : params) {
    if (line.find(key) != std::string::npos) value = RemoveAll(line, key);
  }
  return value;
}

std::optional<std::string> ParamFirstLine(const std::vector<std::string>& params,
                                          std::string_view key) {
  if (params.empty() || params.front().find(key) == std::string::npos) return std::nullopt;
  return RemoveAll(params.front(), key);
}

}  // namespace kestrin::web
