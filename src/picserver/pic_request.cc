#include "picserver/pic_request.h"

#include "capture/photo_naming.h"

namespace kestrin::picserver {
namespace {

PicAnswer Close() {
  return {};
}

PicAnswer Line(std::string text) {
  PicAnswer answer;
  answer.kind = PicAnswer::Kind::kLine;
  answer.line = std::move(text);
  return answer;
}

// Whether an entry (anything but a folder) of this name exists directly in
// the archive folder; a symbolic link counts as existing, not as its target.
bool EntryExists(const std::string& folder, const std::string& file_name) {
  const platform::EntryKind kind = platform::ArchiveEntryKind(folder, file_name);
  return kind != platform::EntryKind::kMissing && kind != platform::EntryKind::kFolder;
}

std::string FileName(std::string_view stem) {
  return std::string(stem) + ".jpg";
}

PicAnswer Lookup(std::string_view argument, const std::string& archive_path, int name_format) {
  if (archive_path.empty()) return Line("none");
  if (argument.size() != capture::kAddressedNameLength) return Line("none");
  std::optional<std::string> stored = capture::StoredPhotoName(argument, name_format);
  if (!stored) return Close();
  for (char kind : {capture::kMultiFrameKind, capture::kSingleFrameKind}) {
    if (EntryExists(archive_path, FileName(*stored + kind))) return Line(*stored + kind);
  }
  return Line("none");
}

PicAnswer Fetch(std::string_view argument, const std::string& archive_path) {
  if (archive_path.empty()) return Line("error");
  std::string file_name = FileName(argument);
  if (!EntryExists(archive_path, file_name)) return Line("error");
  PicAnswer answer;
  answer.kind = PicAnswer::Kind::kFile;
  answer.path = capture::ArchiveFilePath(archive_path, argument);
  answer.folder = archive_path;
  answer.file_name = std::move(file_name);
  return answer;
}

}  // namespace

PicAnswer AnswerRequest(std::string_view line, const std::string& archive_path, int name_format) {
  if (line.empty()) return Close();
  char request = line.front();
  std::string_view argument = line.substr(1);
  if (request != 'R' && request != 'F') return Close();
  if (!capture::IsSafeNamePart(argument)) return Close();
  if (request == 'R') return Lookup(argument, archive_path, name_format);
  return Fetch(argument, archive_path);
}

platform::ArchiveFile OpenFetchFile(const PicAnswer& answer) {
  return platform::OpenFinishedArchiveFile(answer.folder, answer.file_name, answer.path);
}

}  // namespace kestrin::picserver
