#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrin::service {

// Limits for JSON text received from a peer. The server's messages are short
// objects nested one level; the depth limit leaves ample room and keeps every
// later walk of a parsed value (dump, comparison) shallow. The size limit is
// the longest message the server connection takes (16 MiB): a parse is linear
// in the text, so only the depth needs a tighter bound.
inline constexpr size_t kMaxJsonDepth = 64;
inline constexpr size_t kMaxJsonBytes = 16 << 20;

// Whether no array or object of `text` lies more than `max_depth` levels deep
// (a top-level object is level 1). Brackets inside strings do not count.
// Iterative; says nothing about whether the text is valid JSON.
bool JsonDepthWithin(std::string_view text, size_t max_depth);

// Parses peer text without exceptions. A discarded value (is_discarded())
// for text that is not JSON, is longer than kMaxJsonBytes or nests deeper
// than kMaxJsonDepth.
nlohmann::json ParseBoundedJson(std::string_view text);

}  // namespace kestrin::service
