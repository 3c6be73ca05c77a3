#pragma once

// Files and folders for the capture tests.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace kestrin::capture::testing {

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An empty folder of the running test's own in the temporary folder, named
// `prefix`, the process and the test, so that tests running side by side
// never share one.
inline std::filesystem::path FreshTestFolder(const std::string& prefix) {
  std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                 (prefix + std::to_string(::getpid()) + "_" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace kestrin::capture::testing
