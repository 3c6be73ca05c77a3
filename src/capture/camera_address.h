#pragma once

#include <string>
#include <string_view>

namespace kestrin::capture {

// Whether `url` is an RTSP address ("rtsp://" or "rtsps://", any letter case),
// which the FFmpeg source opens instead of libVLC.
bool IsRtspAddress(std::string_view url);

// `url` with its scheme in lower case (FFmpeg matches schemes exactly).
std::string WithLowerCaseScheme(std::string_view url);

// `text` with the password of every address in it ("scheme://user:password@")
// replaced by "***", for log and error lines. Everything else is unchanged.
std::string MaskPasswords(std::string_view text);

}  // namespace kestrin::capture
