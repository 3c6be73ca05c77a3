#include "platform/archive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_registry.h"

namespace kestrin::platform {
namespace {

namespace fs = std::filesystem;

// A temporary folder holding the archive "images" and a file beside it.
class ArchiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "archive-file-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    archive_ = (root_ / "images").string();
    fs::create_directory(archive_);
    Put(root_ / "secret", "outside the archive");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string ReadAll(ArchiveFile& file) {
    std::string read;
    char buffer[4096];
    int64_t n;
    while ((n = file.Read(buffer, sizeof buffer)) > 0) read.append(buffer, n);
    EXPECT_EQ(n, 0);
    return read;
  }

  fs::path root_;
  std::string archive_;
};

TEST_F(ArchiveFileTest, ReadsARegularFileWhole) {
  std::string bytes(100000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  Put(fs::path(archive_) / "a1.jpg", bytes);
  ArchiveFile file = OpenArchiveFile(archive_, "a1.jpg");
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(file.size(), 100000);
  EXPECT_EQ(ReadAll(file), bytes);
  // A trailing separator on the folder changes nothing.
  EXPECT_TRUE(OpenArchiveFile(archive_ + "/", "a1.jpg").is_open());
}

TEST_F(ArchiveFileTest, RefusesEverythingButARegularFileOfTheFolder) {
  Put(fs::path(archive_) / "a1.jpg", "picture");
  fs::create_directory(fs::path(archive_) / "sub");
  Put(fs::path(archive_) / "sub" / "b1.jpg", "picture below");
  ASSERT_EQ(::mkfifo((archive_ + "/pipe1.jpg").c_str(), 0600), 0);
  fs::create_directory(fs::path(archive_) / "dir1.jpg");
  fs::create_symlink(root_ / "secret", fs::path(archive_) / "evil.jpg");
  fs::create_symlink(fs::path(archive_) / "a1.jpg", fs::path(archive_) / "inner.jpg");
  fs::create_symlink(root_ / "gone", fs::path(archive_) / "dangling.jpg");
  fs::create_symlink(root_, fs::path(archive_) / "up");

  const char* refused[] = {
      "missing1.jpg",
      "pipe1.jpg",
      "dir1.jpg",  // no regular file (a pipe would block)
      "evil.jpg",
      "inner.jpg",
      "dangling.jpg",  // links, wherever they point
      "up/secret",
      "sub/b1.jpg",
      "../secret",  // nothing below or beside the folder
      "",
      ".",
      "..",
  };
  for (const char* name : refused) {
    ArchiveFile file = OpenArchiveFile(archive_, name);
    EXPECT_FALSE(file.is_open()) << name;
    EXPECT_EQ(file.size(), -1) << name;
  }
  EXPECT_FALSE(OpenArchiveFile(archive_ + "/missing", "a1.jpg").is_open());
  EXPECT_FALSE(OpenArchiveFile("", "a1.jpg").is_open());
}

TEST_F(ArchiveFileTest, RefusesAFileLockedByAWriter) {
  std::string path = archive_ + "/a1.jpg";
  Put(path, "picture");
  int writer = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  EXPECT_FALSE(OpenArchiveFile(archive_, "a1.jpg").is_open());
  ::close(writer);
  EXPECT_TRUE(OpenArchiveFile(archive_, "a1.jpg").is_open());
}

// The lock protocol as the savers and the readers use it: a file is
// unreadable while a writer holds it, through the lock (another process's
// writer) or the registry (this process's savers), and readable once released.
TEST_F(ArchiveFileTest, FileIsUnreadableWhileAWriterHoldsIt) {
  const std::string path = archive_ + "/a1.jpg";
  {
    ArchiveWriteFile writer;
    ASSERT_TRUE(writer.Create(path));
    ASSERT_TRUE(writer.Write("picture", 7));
    EXPECT_FALSE(OpenFinishedArchiveFile(archive_, "a1.jpg", path).is_open()) << "locked";
    ArchiveWriteFile second;
    EXPECT_FALSE(second.Create(path)) << "a second writer of a held file";
  }
  ArchiveFile done = OpenFinishedArchiveFile(archive_, "a1.jpg", path);
  ASSERT_TRUE(done.is_open());
  EXPECT_EQ(ReadAll(done), "picture");
  {
    WritingFileGuard registered(path);
    ASSERT_TRUE(registered.acquired());
    EXPECT_FALSE(OpenFinishedArchiveFile(archive_, "a1.jpg", path).is_open()) << "registered";
    // The registry speaks for this process only: the plain opening ignores it.
    EXPECT_TRUE(OpenArchiveFile(archive_, "a1.jpg").is_open());
  }
  EXPECT_TRUE(OpenFinishedArchiveFile(archive_, "a1.jpg", path).is_open());
}

TEST_F(ArchiveFileTest, WriterReplacesOldFilesAndLinksAndRemovesOnRequest) {
  const std::string path = archive_ + "/a1.jpg";
  Put(path, "an older and longer picture");
  fs::create_symlink(root_ / "secret", fs::path(archive_) / "evil.jpg");
  fs::create_directory(fs::path(archive_) / "dir1.jpg");

  ArchiveWriteFile writer;
  ASSERT_TRUE(writer.Create(path));
  ASSERT_TRUE(writer.Write("new", 3));
  writer.Close(/*remove=*/false);
  ArchiveFile file = OpenArchiveFile(archive_, "a1.jpg");
  EXPECT_EQ(ReadAll(file), "new");

  ASSERT_TRUE(writer.Create(archive_ + "/evil.jpg"));
  writer.Close(/*remove=*/true);
  EXPECT_EQ(ArchiveEntryKind(archive_, "evil.jpg"), EntryKind::kMissing);
  std::ifstream secret(root_ / "secret");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "outside the archive");

  EXPECT_FALSE(writer.Create(archive_ + "/dir1.jpg"));
  EXPECT_EQ(ArchiveEntryKind(archive_, "dir1.jpg"), EntryKind::kFolder);
}

TEST_F(ArchiveFileTest, StatSeesLinksAsLinks) {
  Put(fs::path(archive_) / "a1.jpg", "picture");
  fs::create_symlink(root_ / "secret", fs::path(archive_) / "evil.jpg");
  fs::create_symlink(root_, fs::path(archive_) / "up");

  auto regular = StatArchiveEntry(archive_, "a1.jpg");
  ASSERT_TRUE(regular.has_value());
  EXPECT_TRUE(S_ISREG(regular->st_mode));
  auto link = StatArchiveEntry(archive_, "evil.jpg");
  ASSERT_TRUE(link.has_value());
  EXPECT_TRUE(S_ISLNK(link->st_mode));
  for (const char* name : {"missing.jpg", "up/secret", "../secret", "", ".."}) {
    EXPECT_FALSE(StatArchiveEntry(archive_, name).has_value()) << name;
  }
}

TEST_F(ArchiveFileTest, MovedFileKeepsItsDescriptor) {
  Put(fs::path(archive_) / "a1.jpg", "picture");
  ArchiveFile first = OpenArchiveFile(archive_, "a1.jpg");
  ArchiveFile second = std::move(first);
  EXPECT_FALSE(first.is_open());
  ASSERT_TRUE(second.is_open());
  EXPECT_EQ(ReadAll(second), "picture");
}

}  // namespace
}  // namespace kestrin::platform
