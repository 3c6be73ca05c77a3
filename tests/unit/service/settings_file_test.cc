#include "service/settings_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service/startup.h"

namespace kestrin::service {
namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kestrin-ini-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "vs_settings.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void WriteRaw(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string ReadRaw() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(SettingsFileTest, MissingFileGivesDefaultsAndWriteCreatesIt) {
  SettingsFile settings(path_);
  EXPECT_EQ(settings.Read("connect", "server", "127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(settings.ReadInt("main", "archlimit", 0), 0);
  settings.Write("main", "arch", "/srv/photos");
  EXPECT_EQ(ReadRaw(), "[main]\narch=/srv/photos\n");
  EXPECT_EQ(settings.Read("MAIN", "ARCH", ""), "/srv/photos");
}

TEST_F(SettingsFileTest, WriteReplacesInPlaceAndKeepsTheRest) {
  WriteRaw("[connect]\nserver=10.0.0.5\nLogin=admin\n[main]\narch=/a\n");
  SettingsFile settings(path_);
  settings.Write("Connect", "login", "operator");
  EXPECT_EQ(settings.Read("connect", "LOGIN", ""), "operator");
  EXPECT_EQ(settings.Read("connect", "server", ""), "10.0.0.5");
  EXPECT_EQ(settings.Read("main", "arch", ""), "/a");
  std::string raw = ReadRaw();
  EXPECT_LT(raw.find("operator"), raw.find("[main]"));  // same place, not appended
}

TEST_F(SettingsFileTest, CyrillicValuesAreStoredInWindows1251) {
  SettingsFile settings(path_);
  settings.Write("main", "arch", "/srv/фото");
  EXPECT_NE(ReadRaw().find("/srv/\xF4\xEE\xF2\xEE"), std::string::npos);
  EXPECT_EQ(settings.Read("main", "arch", ""), "/srv/фото");
}

TEST_F(SettingsFileTest, GarbageLinesAndNumbersGiveDefaults) {
  WriteRaw("junk\n[main\n=x\n[main]\nnameformat=two\narchlimit=12abc\nother= 7 \n");
  SettingsFile settings(path_);
  EXPECT_EQ(settings.ReadInt("main", "nameformat", 0), 0);
  EXPECT_EQ(settings.ReadInt("main", "archlimit", 0), 0);
  EXPECT_EQ(settings.ReadInt("main", "other", 0), 7);
  EXPECT_EQ(settings.ReadInt("main", "absent", 5), 5);
}

TEST_F(SettingsFileTest, UnwritableFileThrows) {
  std::filesystem::create_directory(path_);
  SettingsFile settings(path_);
  EXPECT_THROW(settings.Write("main", "arch", "/x"), SettingsWriteError);
}

TEST(ParseSettingIntTest, SignedDecimalOrZero) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"0", 0},     {"42", 42}, {"-7", -7}, {"+3", 3},   {" 5 ", 5},
               {"", 0},      {"x", 0},   {"1e3", 0}, {"0x10", 0}, {"99999999999", 0},
               {"12 34", 0}, {"-", 0},   {"+-5", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSettingInt(c.text), c.value);
  }
}

TEST_F(SettingsFileTest, ArchiveFolderResolution) {
  std::string home = dir_.string();
  std::filesystem::create_directory(dir_ / "photos");

  ArchiveResolution configured = ResolveArchiveFolder(home + "/photos//", home);
  EXPECT_EQ(configured.path, home + "/photos");
  EXPECT_FALSE(configured.write_back);

  ArchiveResolution missing = ResolveArchiveFolder(home + "/nope", home);
  EXPECT_EQ(missing.path, home + "/images");
  EXPECT_TRUE(missing.write_back);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "images"));

  // The default folder cannot be created: a file stands in its way.
  std::filesystem::path other = dir_ / "other";
  std::filesystem::create_directory(other);
  std::ofstream(other / "images") << "not a folder";
  ArchiveResolution none = ResolveArchiveFolder("", other.string());
  EXPECT_EQ(none.path, "");
  EXPECT_FALSE(none.write_back);
}

}  // namespace
}  // namespace kestrin::service
