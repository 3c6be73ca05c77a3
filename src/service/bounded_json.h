#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrin::service {

// Limits for JSON text received from a peer. The server's messages are short
// objects nested one level; these leave ample room and keep every later walk
// of a parsed value (dump, comparison) shallow.
inline constexpr size_t kMaxJsonDepth = 64;
inline constexpr size_t kMaxJsonBytes = 1 << 20;

// Whether no array or object of `text` lies more than `max_depth` levels deep
// (a top-level object is level 1). Brackets inside strings do not count.
// Iterative; says nothing about whether the text is valid JSON.
bool JsonDepthWithin(std::string_view text, size_t max_depth);

// Parses peer text without exceptions. A discarded value (is_discarded())
// for text that is not JSON, is longer than kMaxJsonBytes or nests deeper
// than kMaxJsonDepth.
nlohmann::json ParseBoundedJson(std::string_view text);

}  // namespace kestrin::service
