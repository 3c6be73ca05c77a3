#include "service/bounded_json.h"

namespace kestrin::service {

bool JsonDepthWithin(std::string_view text, size_t max_depth) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote included
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > max_depth) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

nlohmann::json ParseBoundedJson(std::string_view text) {
  if (text.size() > kMaxJsonBytes || !JsonDepthWithin(text, kMaxJsonDepth)) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace kestrin::service
