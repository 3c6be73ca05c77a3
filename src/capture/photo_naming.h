#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kestrin::capture {

// Every stop-frame lives directly in the archive folder under the name
//   controller identifier "_" time part, kind digit, ".jpg"
// where the time part is the event's local time written by the name format.
// The event thread, the frame viewer, the picture server and the cleanup all
// build or match names through these functions.

// Kind digits: a plain JPEG picture, or several pictures in length records.
inline constexpr char kSingleFrameKind = '1';
inline constexpr char kMultiFrameKind = '2';

// Controller identifiers that clients can address have this many characters.
inline constexpr size_t kControllerIdLength = 12;
// Length of an addressed name: identifier, one separator, 12 hex digits.
inline constexpr size_t kAddressedNameLength = 25;

// The time part of a photo name:
//   1: "ddmmyyhhnnss"; 2: "yymmddhhnnss" (two-digit years);
//   anything else: day, month, year - 2000, hour, minute, second, each in
//   upper-case hexadecimal with at least two digits. A year before 2000 gives
//   the eight digits of its 32-bit two's complement.
std::string MakeTimePart(const platform::LocalFields& time, int name_format);

// Controller identifier, "_", time part.
std::string MakePhotoName(std::string_view controller, const platform::LocalFields& time,
                          int name_format);
std::string MakePhotoName(std::string_view controller, platform::DateTime time, int name_format);

// `archive_path` "/" `file_stem` ".jpg", with every doubled "/" collapsed into
// one, so that every party spells the path of one file identically (the
// registry of files being written compares paths as text).
std::string ArchiveFilePath(std::string_view archive_path, std::string_view file_stem);

// The path of photo `photo_name` of kind `kind` in the archive.
std::string MakePhotoPath(std::string_view archive_path, std::string_view photo_name, char kind);

// Collapses every "//" in `path` into "/".
std::string CollapseDoubledSeparators(std::string_view path);

// Value of a text of hexadecimal digits (either case), read left to right;
// only the first 16 characters count, an empty text is 0. Nullopt when a
// counted character is not a hexadecimal digit.
std::optional<uint64_t> DecodeHexPair(std::string_view digits);

// Decodes a 12-character hexadecimal time part: day, month, year - 2000,
// hour, minute, second, two digits each. Nullopt when the text is not 12
// hexadecimal digits or the numbers form no valid date and time.
std::optional<platform::LocalFields> DecodeHexTime(std::string_view time_part);

// Turns an addressed name (12-character identifier, one separator character,
// 12-character hexadecimal time part) into the name the archive stores it
// under: with formats 1 and 2 the identifier, "_" and the decoded time in
// that format's pattern; with any other format the name unchanged. Nullopt
// when formats 1 and 2 get a name that is not 25 characters or a time that
// does not decode.
std::optional<std::string> StoredPhotoName(std::string_view addressed_name, int name_format);

// The last-saved reference of a camera: controller identifier followed by
// the time as "yyyymmddhhnnss", whatever the name format.
std::string MakeLastFileName(std::string_view controller, const platform::LocalFields& time);

// True when `text` can be part of a file name inside the archive folder: no
// "/", "\", ".." and no control character. Every reader and writer of the
// archive checks the names it takes from outside with it.
bool IsSafeNamePart(std::string_view text);

}  // namespace kestrin::capture
