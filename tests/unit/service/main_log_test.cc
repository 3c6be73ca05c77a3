#include "service/main_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrin::service {
namespace {

TEST(MainLogTest, CleansMessages) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"  \r\n \t ", ""},
      {"a\r\nb", "a  b"},
      {"\x01\x1f text \x05", "text"},
      {"ОШИБКА: x\r\nf1\r\nf2\r\n", "ОШИБКА: x  f1  f2"},
      {"inner\ttab", "inner\ttab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(CleanLogMessage(c.in), c.out);
  }
}

TEST(MainLogTest, LineUsesRussianFormatAndMidnightRule) {
  EXPECT_EQ(BuildLogLine("Запуск службы", platform::MakeLocalDateTime(2021, 8, 12, 14, 3, 27)),
            "[12.08.2021 14:03:27] Запуск службы\r\n");
  EXPECT_EQ(BuildLogLine("x", platform::MakeLocalDateTime(2021, 8, 12)), "[12.08.2021] x\r\n");
  EXPECT_EQ(BuildLogLine("x", platform::MakeLocalDateTime(2021, 8, 12, 0, 0, 1)),
            "[12.08.2021 00:00:01] x\r\n");
}

class MainLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kestrin-log-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
};

TEST_F(MainLogFileTest, AppendsUtf8LinesWithoutByteOrderMark) {
  ServiceLog log((dir_ / "videoserver.log").string());
  log.MainLog("Запуск службы");
  log.MainLog(" \r\n ");  // writes nothing
  log.MainLog("a\r\nb");
  std::string text = Read(dir_ / "videoserver.log");
  EXPECT_EQ(text[0], '[');
  size_t first_end = text.find("\r\n");
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_NE(text.find("] Запуск службы\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 8), "] a  b\r\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(MainLogFileTest, DeletedFileIsCreatedAgain) {
  ServiceLog log((dir_ / "videoserver.log").string());
  log.MainLog("one");
  std::filesystem::remove(dir_ / "videoserver.log");
  log.MainLog("two");
  EXPECT_NE(Read(dir_ / "videoserver.log").find("] two\r\n"), std::string::npos);
}

TEST_F(MainLogFileTest, FailureIsReportedAndNextCallTriesAgain) {
  std::filesystem::path path = dir_ / "videoserver.log";
  std::filesystem::create_directory(path);  // cannot be opened as a file
  ServiceLog log(path.string());
  EXPECT_THROW(log.MainLog("lost"), LogWriteError);
  std::filesystem::remove(path);
  EXPECT_NO_THROW(log.MainLog("kept"));
  EXPECT_EQ(Read(path).find("lost"), std::string::npos);
}

}  // namespace
}  // namespace kestrin::service
