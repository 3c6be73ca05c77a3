#include "picserver/pic_request.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_registry.h"

namespace kestrin::picserver {
namespace {

namespace fs = std::filesystem;

class TempArchive {
 public:
  TempArchive() {
    std::string pattern = (fs::temp_directory_path() / "picserver-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempArchive() { fs::remove_all(path_); }

  std::string path() const { return path_.string(); }
  std::string Put(const std::string& name, const std::string& bytes) {
    std::string file = (path_ / name).string();
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  fs::path path_;
};

const char* KindName(PicAnswer::Kind kind) {
  switch (kind) {
    case PicAnswer::Kind::kClose:
      return "close";
    case PicAnswer::Kind::kLine:
      return "line";
    case PicAnswer::Kind::kFile:
      return "file";
  }
  return "?";
}

// The reply as one text: "close", "line:<text>" or "file:<name in archive>".
std::string Describe(const PicAnswer& answer, const std::string& archive) {
  std::string text = KindName(answer.kind);
  if (answer.kind == PicAnswer::Kind::kLine) text += ":" + answer.line;
  if (answer.kind == PicAnswer::Kind::kFile) {
    EXPECT_EQ(answer.path.rfind(archive + "/", 0), 0u) << answer.path;
    text += ":" + answer.path.substr(archive.size() + 1);
  }
  return text;
}

TEST(PicRequestTest, RepliesByRequestAndArchive) {
  TempArchive archive;
  // Event 2021-08-12 14:05:09 of controller 0012A3B4C5D6 stored in three
  // formats; only a single frame for 0012A3B4C5D7.
  archive.Put("0012A3B4C5D6_0C08150E05091.jpg", "single");
  archive.Put("0012A3B4C5D6_0C08150E05092.jpg", "multi");
  archive.Put("0012A3B4C5D6_1208211405092.jpg", "multi, format 1");
  archive.Put("0012A3B4C5D6_2108121405091.jpg", "single, format 2");
  archive.Put("0012A3B4C5D7_0C08150E05091.jpg", "single only");
  fs::create_directory(archive.path() + "/0012A3B4C5D8_0C08150E05092.jpg");  // a folder

  struct Case {
    const char* line;
    int name_format;
    const char* expected;
  };
  const Case cases[] = {
      {"R0012A3B4C5D6_0C08150E0509", 0, "line:0012A3B4C5D6_0C08150E05092"},  // both kinds: "2"
      {"R0012A3B4C5D7_0C08150E0509", 0, "line:0012A3B4C5D7_0C08150E05091"},  // single only
      {"R0012A3B4C5D9_0C08150E0509", 0, "line:none"},
      {"R0012A3B4C5D8_0C08150E0509", 0, "line:none"},   // a folder is no photo
      {"R0012A3B4C5D6_0C08150E050", 0, "line:none"},    // 24 characters
      {"R0012A3B4C5D6_0C08150E05091", 0, "line:none"},  // 26 characters
      {"R", 0, "line:none"},
      {"R0012A3B4C5D6_0C08150E0509", 1, "line:0012A3B4C5D6_1208211405092"},
      {"R0012A3B4C5D6-0c08150e0509", 1, "line:0012A3B4C5D6_1208211405092"},
      {"R0012A3B4C5D6_0C08150E0509", 2, "line:0012A3B4C5D6_2108121405091"},
      {"R0012A3B4C5D6_0C0D150E0509", 1, "close"},  // month 13
      {"R0012A3B4C5D6_0C0D150E0509", 2, "close"},
      {"R0012A3B4C5D6_0C0D150E0509", 0, "line:none"},  // not decoded in format 0
      {"R0012A3B4C5D6_0C08150E05ZZ", 1, "close"},
      {"F0012A3B4C5D6_0C08150E05092", 0, "file:0012A3B4C5D6_0C08150E05092.jpg"},
      {"F0012A3B4C5D6_1208211405092", 0, "file:0012A3B4C5D6_1208211405092.jpg"},
      {"F0012A3B4C5D6_0C08150E05093", 0, "line:error"},
      {"F0012A3B4C5D8_0C08150E05092", 0, "line:error"},
      {"F", 0, "line:error"},
      {"r0012A3B4C5D6_0C08150E0509", 0, "close"},
      {"f0012A3B4C5D6_0C08150E05092", 0, "close"},
      {"", 0, "close"},
      {"X", 0, "close"},
      // Nothing outside the archive can be named.
      {"F../x", 0, "close"},
      {"F..", 0, "close"},
      {"F/etc/passwd", 0, "close"},
      {"Fa\\b", 0, "close"},
      {"F0012A3B4C5D6_0C08150E05092\t", 0, "close"},
      {"R0012A3B4C5D6/0C08150E0509", 0, "close"},
      {"R0012A3B4C5D6_..08150E0509", 0, "close"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Describe(AnswerRequest(c.line, archive.path(), c.name_format), archive.path()),
              c.expected)
        << c.line << " format " << c.name_format;
  }
  // Control characters, a NUL among them, refuse the request.
  EXPECT_EQ(AnswerRequest(std::string("Fa\0b", 4), archive.path(), 0).kind,
            PicAnswer::Kind::kClose);
  EXPECT_EQ(AnswerRequest("Fa\x7F", archive.path(), 0).kind, PicAnswer::Kind::kClose);
}

TEST(PicRequestTest, WithoutArchiveLookupSaysNoneAndFetchSaysError) {
  EXPECT_EQ(Describe(AnswerRequest("R0012A3B4C5D6_0C08150E0509", "", 0), ""), "line:none");
  EXPECT_EQ(Describe(AnswerRequest("R0012A3B4C5D6_0C0D150E0509", "", 1), ""), "line:none");
  EXPECT_EQ(Describe(AnswerRequest("F0012A3B4C5D6_0C08150E05092", "", 0), ""), "line:error");
  EXPECT_EQ(Describe(AnswerRequest("F../x", "", 0), ""), "close");
}

TEST(PicRequestTest, FileBeingWrittenIsFoundButUnreadable) {
  TempArchive archive;
  std::string path = archive.Put("0012A3B4C5D6_0C08150E05091.jpg", "");
  platform::WritingFileGuard writing(path);
  ASSERT_TRUE(writing.acquired());
  EXPECT_EQ(
      Describe(AnswerRequest("R0012A3B4C5D6_0C08150E0509", archive.path(), 0), archive.path()),
      "line:0012A3B4C5D6_0C08150E05091");
  PicAnswer fetch = AnswerRequest("F0012A3B4C5D6_0C08150E05091", archive.path(), 0);
  ASSERT_EQ(fetch.kind, PicAnswer::Kind::kFile);
  EXPECT_EQ(OpenFetchFile(fetch).size(), -1);
}

TEST(PicRequestTest, FetchSendsRegularFilesOfTheArchiveOnly) {
  TempArchive archive;
  archive.Put("a1.jpg", "picture");
  std::string outside = archive.Put("../" + fs::path(archive.path()).filename().string() + "-out",
                                    "secret");
  fs::create_symlink(outside, archive.path() + "/evil.jpg");
  fs::create_symlink(archive.path() + "/a1.jpg", archive.path() + "/inner.jpg");
  // A link is an entry of the archive, found as such, but never read.
  for (const char* line : {"Fevil", "Finner"}) {
    PicAnswer fetch = AnswerRequest(line, archive.path(), 0);
    ASSERT_EQ(fetch.kind, PicAnswer::Kind::kFile) << line;
    EXPECT_EQ(OpenFetchFile(fetch).size(), -1) << line;
  }
  PicAnswer fetch = AnswerRequest("Fa1", archive.path(), 0);
  ASSERT_EQ(fetch.kind, PicAnswer::Kind::kFile);
  EXPECT_EQ(OpenFetchFile(fetch).size(), 7);
  fs::remove(outside);
}

}  // namespace
}  // namespace kestrin::picserver
