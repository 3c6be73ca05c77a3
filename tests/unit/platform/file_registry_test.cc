#include "platform/file_registry.h"

#include <gtest/gtest.h>

#include "platform/machine_id.h"

#include <unistd.h>
#include <filesystem>
#include <fstream>

namespace kestrin::platform {
namespace {

TEST(WritingFilesTest, SecondWriterIsRefusedUntilTheFirstEnds) {
  const std::string path = "/archive/ctrl_2021.jpg";
  {
    WritingFileGuard first(path);
    ASSERT_TRUE(first.acquired());
    EXPECT_TRUE(WritingFiles::Instance().IsBeingWritten(path));
    WritingFileGuard second(path);
    EXPECT_FALSE(second.acquired());
  }
  // The refused guard must not have released the first writer's entry early,
  // and the first one's end frees the name.
  EXPECT_FALSE(WritingFiles::Instance().IsBeingWritten(path));
  WritingFileGuard third(path);
  EXPECT_TRUE(third.acquired());
}

TEST(MachineKeyTest, ReadsTrimsAndFallsBack) {
  std::string path = std::filesystem::temp_directory_path() / ("mid-" + std::to_string(getpid()));
  std::ofstream(path) << "  1234-abcd-5678\n";
  EXPECT_EQ(ReadMachineKey(path), "1234abcd5678");
  std::ofstream(path) << " \n";
  EXPECT_EQ(ReadMachineKey(path), kFallbackMachineKey);
  std::filesystem::remove(path);
  EXPECT_EQ(ReadMachineKey(path), kFallbackMachineKey);
}

}  // namespace
}  // namespace kestrin::platform
