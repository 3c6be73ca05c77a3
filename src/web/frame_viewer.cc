#include "web/frame_viewer.h"

#include <stdexcept>

#include "capture/jpeg_encoder.h"
#include "capture/multi_frame.h"
#include "capture/photo_naming.h"
#include "platform/archive_file.h"
#include "platform/text.h"
#include "web/parameters.h"
#include "web/rules_form.h"

namespace kestrin::web {
namespace {

constexpr int kLiveFrameQuality = 100;
constexpr std::string_view kSavedFrameError = "ошибка";

// Reads the whole regular file `file_name` of the archive folder unless a
// writer holds it. `path` is the file as savers name it.
std::optional<std::string> ReadWholeFile(const std::string& folder, const std::string& file_name,
                                         const std::string& path) {
  platform::ArchiveFile file = platform::OpenFinishedArchiveFile(folder, file_name, path);
  if (!file.is_open()) return std::nullopt;
  std::string bytes;
  bytes.resize(static_cast<size_t>(file.size()));
  size_t filled = 0;
  while (filled < bytes.size()) {
    int64_t n = file.Read(bytes.data() + filled, bytes.size() - filled);
    if (n <= 0) return std::nullopt;  // an error, or the file shrank under us
    filled += static_cast<size_t>(n);
  }
  return bytes;
}

}  // namespace

std::optional<int> CameraNumber(std::string_view value) {
  int n = ParseWholeNumber(value, 0);
  if (n < 1 || n > 9) return std::nullopt;
  return n;
}

WebResponse LiveFrameReply(std::string_view value, const ReadLiveCamera& read_camera) {
  std::optional<int> n = CameraNumber(value);
  if (!n || !read_camera) return WebResponse::Empty();
  std::optional<capture::CameraStatus> camera = read_camera(*n - 1);
  if (!camera || !camera->active || !camera->frames) return WebResponse::Empty();

  // The raw copy keeps the frame mutex for one memcpy; the encoder reads the
  // four-byte pixels directly, which gives the same picture as converting
  // them to three bytes first.
  std::vector<uint8_t> frame;
  std::vector<uint8_t> jpeg;
  if (!camera->frames->CopyFrame(camera->v_width, camera->v_height, frame) ||
      !capture::EncodeJpeg(frame.data(), capture::PixelLayout::kBgrx, camera->v_width,
                           camera->v_height, kLiveFrameQuality, jpeg)) {
    return WebResponse::PlainText("image error");
  }
  return WebResponse::Picture("image/jpeg", std::string(jpeg.begin(), jpeg.end()));
}

WebResponse CameraRestartReply(std::string_view value, const RestartCamera& restart) {
  std::optional<int> n = CameraNumber(value);
  if (!n) return WebResponse::Empty();
  if (restart) restart(*n - 1);
  return WebResponse::PlainText("restart");
}

platform::LocalFields SavedFrameTime(std::string_view time) {
  platform::LocalFields t;
  t.year = ParseWholeNumber(CharacterSpan(time, 0, 4), 2000);
  t.month = ParseWholeNumber(CharacterSpan(time, 4, 2), 1);
  t.day = ParseWholeNumber(CharacterSpan(time, 6, 2), 1);
  t.hour = ParseWholeNumber(CharacterSpan(time, 8, 2), 0);
  t.minute = ParseWholeNumber(CharacterSpan(time, 10, 2), 0);
  t.second = ParseWholeNumber(CharacterSpan(time, 12, 2), 0);
  t.millisecond = 0;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > platform::DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59) {
    throw std::invalid_argument("Invalid date or time: " + std::string(time));
  }
  return t;
}

std::optional<std::string> ReadSavedPicture(const std::string& archive_path,
                                            const std::string& photo_name, char kind) {
  std::optional<std::string> file =
      ReadWholeFile(archive_path, photo_name + kind + ".jpg",
                    capture::MakePhotoPath(archive_path, photo_name, kind));
  if (!file || kind == capture::kSingleFrameKind) return file;
  std::optional<std::string_view> first = capture::FirstMultiFramePicture(*file);
  if (!first) return std::nullopt;
  return std::string(*first);
}

WebResponse SavedFrameReply(const std::vector<std::string>& params, const std::string& archive_path,
                            int name_format) {
  const std::string controller = ParamScan(params, "dvs=").value_or("");
  const std::string time = ParamScan(params, "time=").value_or("");
  if (platform::CharacterCount(controller) != 12 || platform::CharacterCount(time) != 14) {
    return WebResponse::PlainText(kSavedFrameError);
  }
  // Unreadable parts of the time take their defaults; an impossible date
  // throws, and the server answers 500.
  const platform::LocalFields event_time = SavedFrameTime(time);
  if (archive_path.empty() || !capture::IsSafeNamePart(controller)) {
    return WebResponse::PlainText(kSavedFrameError);
  }

  const std::string name = capture::MakePhotoName(controller, event_time, name_format);
  for (char kind : {capture::kSingleFrameKind, capture::kMultiFrameKind}) {
    // A symbolic link counts as no file at all; any other entry of the name
    // (a folder too) is this kind's file, read or not.
    const platform::EntryKind entry =
        platform::ArchiveEntryKind(archive_path, name + kind + ".jpg");
    if (entry == platform::EntryKind::kMissing || entry == platform::EntryKind::kLink) continue;
    std::optional<std::string> picture = ReadSavedPicture(archive_path, name, kind);
    if (!picture) return WebResponse::PlainText(kSavedFrameError);
    return WebResponse::Picture("image/jpeg", std::move(*picture));
  }
  return WebResponse::PlainText(kSavedFrameError);
}

}  // namespace kestrin::web
