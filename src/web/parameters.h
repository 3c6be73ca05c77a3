#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::web {

// The four ways the pages read the parameter list ("name=value" lines, in
// request order).

// By name: the value after the first "=" of the first line whose name equals
// `name` without regard to letter case. Nothing when there is no such line or
// its value is empty (an empty value counts as absent).
std::optional<std::string> ParamByName(const std::vector<std::string>& params,
                                       std::string_view name);

// Presence: the parameter text (lines joined) contains `key` anywhere.
bool ParamPresent(std::string_view param_text, std::string_view key);

// Scan: every line containing `key` anywhere gives as value the whole line
// with every occurrence of `key` removed (letter case respected); a later
// matching line overwrites an earlier one. Nothing when no line matches.
std::optional<std::string> ParamScan(const std::vector<std::string>& params, std::string_view key);

// First line only: the scan rule applied to the first line alone.
std::optional<std::string> ParamFirstLine(const std::vector<std::string>& params,
                                          std::string_view key);

// `line` with every occurrence of `key` removed, left to right.
std::string RemoveAll(std::string_view line, std::string_view key);

}  // namespace kestrin::web
