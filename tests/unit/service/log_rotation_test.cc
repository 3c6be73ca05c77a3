#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/main_log.h"

namespace kestrin::service {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "cannot run " + command;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return status == 0 ? "" : "`" + command + "` failed: " + output;
}

// The numbers of the "line N" messages in `text`, in file order.
std::vector<long> LineNumbers(const std::string& text) {
  std::vector<long> numbers;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find("] line ");
    if (at != std::string::npos) numbers.push_back(std::stol(line.substr(at + 7)));
  }
  return numbers;
}

// The package's logrotate configuration, run by the real logrotate twice while
// a thread keeps logging: every line is in exactly one of the files, in order.
TEST(LogRotationTest, RotationInTheMiddleOfAStreamLosesAndDuplicatesNoLine) {
  char dir_template[] = "/tmp/kestrin-logrotate-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const fs::path dir = dir_template;
  const fs::path log = dir / "videoserver.log";

  // The shipped file, pointed at the test's log. The test runs as root in a
  // folder of its own, so the switch to the service's user is left out.
  std::istringstream shipped(ReadAll(KESTRIN_LOGROTATE_CONFIG));
  std::ofstream config(dir / "logrotate.conf");
  std::string line;
  bool has_block = false;
  while (std::getline(shipped, line)) {
    if (line.find(" su ") != std::string::npos) continue;
    const size_t at = line.find("/var/lib/kestrin-videoserver/videoserver.log");
    if (at != std::string::npos) {
      line = log.string() + line.substr(at + 44);
      has_block = true;
    }
    config << line << "\n";
  }
  config.close();
  ASSERT_TRUE(has_block);
  const std::string rotate = "/usr/sbin/logrotate -f -s " + (dir / "state").string() + " " +
                             (dir / "logrotate.conf").string();

  ServiceLog service_log(log.string());
  std::atomic<long> written{0};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      service_log.MainLog("line " + std::to_string(written.load()));
      ++written;
    }
  });
  auto wait_for_more = [&](long more) {
    const long target = written + more;
    while (written < target) std::this_thread::yield();
  };
  std::string errors;
  wait_for_more(2000);
  errors += RunCommand(rotate);
  wait_for_more(2000);
  errors += RunCommand(rotate);
  wait_for_more(2000);
  stop = true;
  writer.join();
  EXPECT_EQ(errors, "");

  // Oldest first: compressed at the second rotation, renamed at the second,
  // written since.
  ASSERT_TRUE(fs::exists(dir / "videoserver.log.2.gz"));
  ASSERT_TRUE(fs::exists(dir / "videoserver.log.1"));
  const fs::path unpacked = dir / "unpacked";
  ASSERT_EQ(
      RunCommand("gzip -dc " + (dir / "videoserver.log.2.gz").string() + " > " + unpacked.string()),
      "");
  std::vector<long> all;
  for (const fs::path& part : {unpacked, dir / "videoserver.log.1", log}) {
    std::vector<long> numbers = LineNumbers(ReadAll(part));
    EXPECT_FALSE(numbers.empty()) << part;
    all.insert(all.end(), numbers.begin(), numbers.end());
  }
  ASSERT_EQ(static_cast<long>(all.size()), written.load());
  for (long i = 0; i < written; ++i) ASSERT_EQ(all[i], i);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrin::service
