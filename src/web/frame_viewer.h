#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/camera_status.h"
#include "platform/local_time.h"
#include "web/response.h"

namespace kestrin::web {

// Reads the published fields of camera worker `index` (0..8) under its camera
// lock; nothing when that worker does not exist.
using ReadLiveCamera = std::function<std::optional<capture::CameraStatus>(int index)>;
// Asks camera worker `index` to reopen its stream, if it is active.
using RestartCamera = std::function<void(int index)>;

// The camera number 1..9 of an "img" or "restartnow" value; nothing for any
// other value (0, 10, letters).
std::optional<int> CameraNumber(std::string_view value);

// "img": the newest picture of camera `value` as a JPEG of quality 100, of
// exactly the camera's picture size. An empty reply for a camera number
// outside 1..9 or a camera that delivers no pictures; "image error" when the
// picture cannot be copied or encoded. Holds the frame mutex only for one
// buffer copy.
WebResponse LiveFrameReply(std::string_view value, const ReadLiveCamera& read_camera);

// "restartnow": asks camera `value` to reopen its stream and answers
// "restart" (also when the camera was not active); an empty reply for a
// camera number outside 1..9.
WebResponse CameraRestartReply(std::string_view value, const RestartCamera& restart);

// The event time of a saved-frame request, "yyyymmddhhnnss" (14 characters):
// each part that does not read as a number takes its default (year 2000,
// month 1, day 1, zero time). Throws std::invalid_argument when the numbers
// form no valid date and time.
platform::LocalFields SavedFrameTime(std::string_view time);

// "/getsaveframe": the saved picture of controller "dvs=" (12 characters) at
// event time "time=" (14 characters) from the archive folder: the
// single-frame file when it exists, otherwise the first picture of the
// multi-frame file. "ошибка" for malformed parameters, a missing file, a file
// still being written, and a file that cannot be read or is damaged.
WebResponse SavedFrameReply(const std::vector<std::string>& params, const std::string& archive_path,
                            int name_format);

// The first picture of the archive file of `photo_name` and kind `kind` (the
// whole file for a single-frame file, the first record of a multi-frame
// file). Nothing when the file is being written, is a symbolic link or no
// regular file, cannot be read or does not start with a record of tag 0x02,
// 0x03 or 0x04.
std::optional<std::string> ReadSavedPicture(const std::string& archive_path,
                                            const std::string& photo_name, char kind);

}  // namespace kestrin::web
