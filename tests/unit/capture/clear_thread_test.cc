#include "capture/clear_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrin::capture {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An archive folder whose photo number i (0 = oldest) is "p<i>.jpg" with a
// modification time i minutes after a fixed point. The files are created in
// an order unlike their age.
class CleanupTest : public testing::Test {
 protected:
  CleanupTest() {
    std::string pattern = (fs::temp_directory_path() / "cleanup-XXXXXX").string();
    archive_ = ::mkdtemp(pattern.data());
  }
  ~CleanupTest() override { fs::remove_all(archive_); }

  void MakePhotos(int count) {
    ASSERT_NE(count % 7, 0);
    auto base = fs::file_time_type::clock::now() - 10000min;
    for (int k = 0; k < count; ++k) {
      int i = (k * 7 + 3) % count;  // a permutation for counts prime to 7
      Touch("p" + std::to_string(i) + ".jpg", base + std::chrono::minutes(i));
    }
    photo_count_ = count;
  }

  void Touch(const std::string& name, fs::file_time_type time) {
    fs::path path = archive_ / name;
    std::ofstream(path) << "x";
    fs::last_write_time(path, time);
  }

  // Indices of the photos still present.
  std::vector<int> Remaining() const {
    std::vector<int> left;
    for (int i = 0; i < photo_count_; ++i) {
      if (fs::exists(archive_ / ("p" + std::to_string(i) + ".jpg"))) left.push_back(i);
    }
    return left;
  }

  // Free space that grows by 1 MB for every photo deleted.
  CleanupFileSystem FreeMbPerPhoto(int64_t before_any_deletion) {
    CleanupFileSystem file_system;
    file_system.free_space_mb = [this, before_any_deletion](const std::string& path) {
      EXPECT_EQ(path, archive_.string());
      ++measurements_;
      return before_any_deletion + photo_count_ - static_cast<int64_t>(Remaining().size());
    };
    return file_system;
  }

  static std::vector<int> Range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; ++i) v.push_back(i);
    return v;
  }

  fs::path archive_;
  int photo_count_ = 0;
  int measurements_ = 0;
};

TEST_F(CleanupTest, NoPassWithoutLimitOrBelowIt) {
  MakePhotos(5);
  struct Case {
    int32_t limit;
    int64_t free_mb;
  };
  // Limit 0 or less never deletes; free space equal to the limit starts no pass.
  for (Case c : {Case{0, 0}, Case{-5, 0}, Case{100, 100}, Case{100, 5000}}) {
    EXPECT_EQ(PruneArchive(archive_.string(), c.limit, FreeMbPerPhoto(c.free_mb)), 0)
        << c.limit << " " << c.free_mb;
  }
  EXPECT_EQ(Remaining(), Range(0, 5));
}

TEST_F(CleanupTest, OnlyAbsoluteArchiveFolders) {
  MakePhotos(3);
  fs::path old_dir = fs::current_path();
  fs::current_path(archive_.parent_path());
  EXPECT_EQ(PruneArchive(archive_.filename().string(), 100, FreeMbPerPhoto(0)), 0);
  fs::current_path(old_dir);
  EXPECT_EQ(PruneArchive("", 100, FreeMbPerPhoto(0)), 0);
  EXPECT_EQ(Remaining(), Range(0, 3));
}

TEST_F(CleanupTest, MeasuresAfterEveryTenthDeletion) {
  MakePhotos(30);
  // Twelve photos must go: the measurement after the 11th is still too low
  // (equal does not stop), the one after the 21st stops the pass.
  EXPECT_EQ(PruneArchive(archive_.string(), 100, FreeMbPerPhoto(100 - 11)), 21);
  EXPECT_EQ(Remaining(), Range(21, 30));
  EXPECT_EQ(measurements_, 3);  // before the pass, after the 11th and the 21st
}

TEST_F(CleanupTest, StopsWhenTheFirstMeasurementSuffices) {
  MakePhotos(30);
  EXPECT_EQ(PruneArchive(archive_.string(), 100, FreeMbPerPhoto(99)), 11);
  EXPECT_EQ(Remaining(), Range(11, 30));
}

TEST_F(CleanupTest, FloorAboveTheDiskDeletesEveryPhotoAndNothingElse) {
  MakePhotos(25);
  auto now = fs::file_time_type::clock::now() - 20000min;  // older than every photo
  Touch("notes.txt", now);
  Touch("upper.JPG", now);
  Touch("photo.jpg.bak", now);
  fs::create_directory(archive_ / "sub");
  Touch("sub/inner.jpg", now);
  fs::create_directory(archive_ / "folder.jpg");
  // Links named like photos stay, and so does what they point to, inside the
  // archive or outside it.
  const fs::path outside = archive_.string() + "-outside.jpg";
  std::ofstream(outside) << "not a photo of this archive";
  fs::create_symlink(outside, archive_ / "link.jpg");
  fs::create_symlink(archive_ / "notes.txt", archive_ / "inner.jpg");
  fs::create_symlink(archive_ / "sub", archive_ / "dirlink.jpg");
  CleanupFileSystem no_space;
  no_space.free_space_mb = [](const std::string&) { return int64_t{0}; };

  EXPECT_EQ(PruneArchive(archive_.string(), 1 << 30, no_space), 25);
  EXPECT_TRUE(Remaining().empty());
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(archive_)) {
    left.insert(entry.path().lexically_relative(archive_).string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"notes.txt", "upper.JPG", "photo.jpg.bak", "sub",
                                         "sub/inner.jpg", "folder.jpg", "link.jpg", "inner.jpg",
                                         "dirlink.jpg"}));
  EXPECT_TRUE(fs::exists(outside));
  fs::remove(outside);
}

TEST_F(CleanupTest, UndeletableFileIsSkippedAndCounted) {
  MakePhotos(30);
  CleanupFileSystem file_system = FreeMbPerPhoto(100 - 11);
  std::string locked = (archive_ / "p0.jpg").string();
  file_system.remove_file = [locked](const std::string& path) {
    return path != locked && platform::RemoveFile(path);
  };
  // The failed attempt counts as a position: after position 10 only ten are
  // gone, after position 20 twenty, which is enough.
  EXPECT_EQ(PruneArchive(archive_.string(), 100, file_system), 20);
  std::vector<int> expected = {0};
  for (int i = 21; i < 30; ++i) expected.push_back(i);
  EXPECT_EQ(Remaining(), expected);
}

TEST_F(CleanupTest, StopRequestEndsThePassBetweenFiles) {
  MakePhotos(30);
  std::stop_source stop;
  CleanupFileSystem file_system = FreeMbPerPhoto(0);
  int removed = 0;
  file_system.remove_file = [&](const std::string& path) {
    if (++removed == 3) stop.request_stop();
    return platform::RemoveFile(path);
  };
  EXPECT_EQ(PruneArchive(archive_.string(), 100, file_system, stop.get_token()), 3);
  EXPECT_EQ(Remaining(), Range(3, 30));
}

TEST_F(CleanupTest, RealFreeSpaceOfTheArchiveFolder) {
  EXPECT_GT(FreeSpaceMb(archive_.string()), 0);
  EXPECT_EQ(FreeSpaceMb((archive_ / "missing").string()), 0);
}

class ClearThreadTest : public CleanupTest {
 protected:
  ClearThreadTest() {
    archive_settings_.SetPath(archive_.string());
    no_space_.free_space_mb = [](const std::string&) { return int64_t{0}; };
  }

  service::ArchiveSettings archive_settings_;
  CleanupFileSystem no_space_;
};

TEST_F(ClearThreadTest, ChecksEveryIntervalWithCurrentSettings) {
  MakePhotos(5);
  TClearThread cleaner(archive_settings_, 50ms, no_space_);
  cleaner.Start();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Remaining().size(), 5u);  // archive_limit is still 0
  archive_settings_.SetLimit(10);
  for (int i = 0; i < 500 && !Remaining().empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(Remaining().empty());
  cleaner.Stop();
}

TEST_F(ClearThreadTest, FirstCheckComesOneIntervalAfterStartAndStopIsPrompt) {
  MakePhotos(5);
  archive_settings_.SetLimit(10);
  auto begin = std::chrono::steady_clock::now();
  {
    TClearThread cleaner(archive_settings_, 60s, no_space_);
    cleaner.Start();
    std::this_thread::sleep_for(200ms);
  }  // destroying it stops it
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(Remaining().size(), 5u);
}

}  // namespace
}  // namespace kestrin::capture
