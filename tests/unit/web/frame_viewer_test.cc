#include "web/frame_viewer.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/photo_naming.h"
#include "platform/file_registry.h"

namespace kestrin::web {
namespace {

namespace fs = std::filesystem;

// Width and height from the baseline frame header (SOF0) of a JPEG.
std::pair<int, int> JpegSize(const std::string& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (static_cast<uint8_t>(jpeg[i]) == 0xFF && static_cast<uint8_t>(jpeg[i + 1]) == 0xC0) {
      auto byte = [&](size_t k) { return static_cast<uint8_t>(jpeg[i + k]); };
      return {byte(7) << 8 | byte(8), byte(5) << 8 | byte(6)};
    }
  }
  return {0, 0};
}

TEST(FrameViewer, CameraNumbers) {
  for (std::string_view value : {"1", "9", " 5"}) EXPECT_TRUE(CameraNumber(value)) << value;
  for (std::string_view value : {"0", "10", "a", "", "-1", "3x"}) {
    EXPECT_FALSE(CameraNumber(value)) << value;
  }
}

TEST(FrameViewer, LiveFrameIsAJpegOfTheCameraSize) {
  auto store = std::make_shared<capture::FrameStore>();
  store->buffer().assign(37 * 21 * 4, 0x80);
  capture::CameraStatus camera;
  camera.active = true;
  camera.v_width = 37;
  camera.v_height = 21;
  camera.frames = store;
  std::vector<int> asked;
  ReadLiveCamera read = [&](int index) -> std::optional<capture::CameraStatus> {
    asked.push_back(index);
    return camera;
  };

  WebResponse reply = LiveFrameReply("3", read);
  EXPECT_EQ(asked, std::vector<int>{2});
  EXPECT_EQ(reply.content_type, "image/jpeg");
  ASSERT_GE(reply.body.size(), 4u);
  EXPECT_EQ(reply.body.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(JpegSize(reply.body), std::make_pair(37, 21));

  // Sizes read before a reconnect to a smaller picture: no picture to copy.
  camera.v_width = 64;
  EXPECT_EQ(LiveFrameReply("3", read).body, "image error");

  camera.active = false;
  for (std::string_view value : {"3", "0", "10", "x"}) {
    WebResponse empty = LiveFrameReply(value, read);
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.content_type.empty()) << value;
    EXPECT_TRUE(empty.body.empty()) << value;
  }
  EXPECT_TRUE(
      LiveFrameReply("4", [](int) { return std::optional<capture::CameraStatus>(); }).body.empty());
}

TEST(FrameViewer, RestartAnswersRestartForEveryCameraNumber) {
  std::vector<int> restarted;
  RestartCamera restart = [&](int index) { restarted.push_back(index); };
  EXPECT_EQ(CameraRestartReply("9", restart).body, "restart");
  EXPECT_TRUE(CameraRestartReply("10", restart).body.empty());
  EXPECT_TRUE(CameraRestartReply("0", restart).content_type.empty());
  EXPECT_EQ(restarted, std::vector<int>{8});
}

TEST(FrameViewer, SavedFrameTime) {
  struct Case {
    const char* time;
    platform::LocalFields expected;
  };
  const Case cases[] = {
      {"20210812140509", {2021, 8, 12, 14, 5, 9, 0}},
      {"20240229235959", {2024, 2, 29, 23, 59, 59, 0}},
      // Unreadable parts take their defaults.
      {"yyyymmddhhnnss", {2000, 1, 1, 0, 0, 0, 0}},
      {"2021xx12hh05ss", {2021, 1, 12, 0, 5, 0, 0}},
  };
  for (const Case& c : cases) {
    platform::LocalFields t = SavedFrameTime(c.time);
    EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second),
              std::tie(c.expected.year, c.expected.month, c.expected.day, c.expected.hour,
                       c.expected.minute, c.expected.second))
        << c.time;
  }
  for (const char* impossible :
       {"20211312000000", "20210229000000", "20210100000000", "20210101240000", "20210101006000",
        "00000101000000", "2021-101000000"}) {
    EXPECT_THROW(SavedFrameTime(impossible), std::invalid_argument) << impossible;
  }
}

class SavedFrameTest : public testing::Test {
 protected:
  void SetUp() override {
    archive_ =
        fs::temp_directory_path() / ("kestrin_frames_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(archive_);
    fs::create_directories(archive_);
  }
  void TearDown() override { fs::remove_all(archive_); }

  // The path of the photo of controller kController at kTime, kind `kind`.
  std::string PhotoPath(char kind) const {
    std::string name = capture::MakePhotoName(kController, kTime, kNameFormat);
    return capture::MakePhotoPath(archive_.string(), name, kind);
  }

  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  WebResponse Get(std::string dvs = kController, std::string time = "20210812140509") const {
    return SavedFrameReply({"dvs=" + dvs, "time=" + time}, archive_.string(), kNameFormat);
  }

  static constexpr const char* kController = "0012A3B4C5D6";
  static constexpr platform::LocalFields kTime{2021, 8, 12, 14, 5, 9, 0};
  static constexpr int kNameFormat = 0;
  fs::path archive_;
};

TEST_F(SavedFrameTest, SingleFrameFileWinsOverMultiFrame) {
  Write(PhotoPath('1'), "single picture");
  Write(PhotoPath('2'), std::string("\x02\x05", 2) + "first");
  WebResponse reply = Get();
  EXPECT_EQ(reply.content_type, "image/jpeg");
  EXPECT_EQ(reply.body, "single picture");
}

TEST_F(SavedFrameTest, FirstRecordOfAMultiFrameFileByTag) {
  const std::string big(300, 'b');
  struct Case {
    const char* name;
    std::string file;
    std::optional<std::string> picture;
  };
  const Case cases[] = {
      {"1-byte length", std::string("\x02\x03", 2) + "abc" + std::string("\x02\x02", 2) + "de",
       "abc"},
      {"2-byte length", std::string("\x03\x2C\x01", 3) + big + "rest", big},
      {"4-byte length", std::string("\x04\x03\x00\x00\x00", 5) + "xyz", "xyz"},
      {"empty picture", std::string("\x02\x00", 2), ""},
      {"8-byte length is not read here", std::string("\x13\x01\0\0\0\0\0\0\0", 9) + "x",
       std::nullopt},
      {"unknown tag", std::string("\x05\x01", 2) + "x", std::nullopt},
      {"negative length", std::string("\x02\xFF", 2) + "x", std::nullopt},
      {"record past the end", std::string("\x04\x10\x00\x00\x00", 5) + "short", std::nullopt},
      {"head cut short", std::string("\x03\x01", 2), std::nullopt},
      {"empty file", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(PhotoPath('2'), c.file);
    WebResponse reply = Get();
    if (c.picture) {
      EXPECT_EQ(reply.content_type, "image/jpeg");
      EXPECT_EQ(reply.body, *c.picture);
    } else {
      EXPECT_EQ(reply.body, "ошибка");
      EXPECT_EQ(reply.content_type, "text/html; charset=utf-8");
    }
  }
}

TEST_F(SavedFrameTest, Errors) {
  EXPECT_EQ(Get().body, "ошибка") << "no file";

  Write(PhotoPath('1'), "picture");
  EXPECT_EQ(Get().body, "picture");
  {
    // A saver of this process is still writing the file.
    platform::WritingFileGuard writing(PhotoPath('1'));
    ASSERT_TRUE(writing.acquired());
    EXPECT_EQ(Get().body, "ошибка");
  }
  EXPECT_EQ(Get().body, "picture");

  EXPECT_EQ(Get(kController, "2021081214050").body, "ошибка");
  EXPECT_EQ(Get("0012A3B4C5D", "20210812140509").body, "ошибка");
  EXPECT_EQ(SavedFrameReply({"time=20210812140509"}, archive_.string(), 0).body, "ошибка");
  EXPECT_EQ(SavedFrameReply({"dvs=0012A3B4C5D6", "time=20210812140509"}, "", 0).body, "ошибка");
  EXPECT_THROW(Get(kController, "20211312140509"), std::invalid_argument);
}

TEST_F(SavedFrameTest, ControllerNumberCannotLeaveTheArchive) {
  // "../x/abcdefg" has 12 characters and names a file in a sibling folder.
  const std::string crafted = "../x/abcdefg";
  fs::create_directories(archive_ / "x");
  fs::create_directories(archive_ / "inner");
  const std::string outside = capture::MakePhotoPath(
      (archive_ / "inner").string(), capture::MakePhotoName(crafted, kTime, kNameFormat), '1');
  Write(outside, "secret");  // archive/inner/../x/abcdefg_...1.jpg
  ASSERT_TRUE(fs::exists(outside));
  EXPECT_EQ(SavedFrameReply({"dvs=" + crafted, "time=20210812140509"},
                            (archive_ / "inner").string(), kNameFormat)
                .body,
            "ошибка");

  const std::string_view with_nul(
      "0012\0"
      "3B4C5D6",
      12);
  for (std::string_view bad : {std::string_view("0012/3B4C5D6"), std::string_view("0012\\3B4C5D6"),
                               std::string_view("0012..B4C5D6"), with_nul}) {
    EXPECT_FALSE(capture::IsSafeNamePart(bad)) << bad;
  }
  EXPECT_TRUE(capture::IsSafeNamePart("0012A3B4C5D6"));
}

}  // namespace
}  // namespace kestrin::web
