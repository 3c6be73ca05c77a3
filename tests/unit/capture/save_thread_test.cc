#include "capture/save_thread.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "capture/multi_frame.h"
#include "platform/file_registry.h"
#include "test_files.h"
#include "test_jpeg.h"

namespace kestrin::capture {
namespace {

namespace fs = std::filesystem;
using testing::DecodeJpeg;
using testing::ReadFile;
using namespace std::chrono_literals;

constexpr int kWidth = 80;
constexpr int kHeight = 60;

class SaveThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::FreshTestFolder("kestrin_save_");
    // A camera picture: blue 0x30, green 0x90, red 0xE0 everywhere.
    store_ = std::make_shared<FrameStore>();
    for (int i = 0; i < kWidth * kHeight; ++i) {
      store_->buffer().insert(store_->buffer().end(), {0x30, 0x90, 0xE0, 0});
    }
    store_->decoded_frames() = 1;
  }
  void TearDown() override { fs::remove_all(dir_); }

  SaveJob Job(const std::string& name, uint8_t framecnt) const {
    SaveJob job;
    job.quality = 90;
    job.framecnt = framecnt;
    job.filename = (dir_ / name).string();
    job.width = kWidth;
    job.height = kHeight;
    job.frames = store_;
    return job;
  }

  static void ExpectCameraPicture(std::string_view jpeg) {
    const auto decoded = DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, unsigned{kWidth});
    EXPECT_EQ(decoded.height, unsigned{kHeight});
    const uint8_t* rgb = decoded.At(kWidth / 2, kHeight / 2);
    EXPECT_NEAR(rgb[0], 0xE0, 4);
    EXPECT_NEAR(rgb[1], 0x90, 4);
    EXPECT_NEAR(rgb[2], 0x30, 4);
  }

  fs::path dir_;
  std::shared_ptr<FrameStore> store_;
};

TEST_F(SaveThreadTest, SingleFrameFileIsOnePlainJpegReplacingAnOlderFile) {
  const SaveJob job = Job("0012A3B4C5D6_0C08150E05091.jpg", 1);
  { std::ofstream(job.filename) << std::string(100000, 'x'); }
  EXPECT_EQ(TSaveThread::Run(job), 1);
  const std::string file = ReadFile(job.filename);
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file.substr(0, 2), "\xFF\xD8");
  ExpectCameraPicture(file);
  EXPECT_FALSE(platform::WritingFiles::Instance().IsBeingWritten(job.filename));
}

TEST_F(SaveThreadTest, MultiFrameFileHoldsOneRecordPerPicture) {
  const SaveJob job = Job("0012A3B4C5D6_0C08150E05092.jpg", 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TSaveThread::Run(job), 3);
  // Two pauses of 200 ms between three pictures.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  const std::string file = ReadFile(job.filename);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file[0], 0x03);  // small pictures: 2-byte lengths
  const auto pictures = ParseMultiFrame(file);
  ASSERT_TRUE(pictures);
  ASSERT_EQ(pictures->size(), 3u);
  for (std::string_view picture : *pictures) ExpectCameraPicture(picture);
}

TEST_F(SaveThreadTest, CameraDroppedDuringTheDelayLeavesAnEmptyFile) {
  SaveJob job = Job("dropped1.jpg", 1);
  job.sdelay = 100;
  std::thread drop([&] {
    std::this_thread::sleep_for(20ms);
    std::lock_guard lock(store_->mutex());
    store_->buffer().clear();
  });
  EXPECT_EQ(TSaveThread::Run(job), 0);
  drop.join();
  ASSERT_TRUE(fs::exists(job.filename));
  EXPECT_EQ(fs::file_size(job.filename), 0u);
}

TEST_F(SaveThreadTest, CameraReconnectedSmallerMidwayKeepsTheEarlierPictures) {
  const SaveJob job = Job("resized2.jpg", 5);
  std::thread resize([&] {
    // After the first picture, during the 200 ms pause.
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(store_->mutex());
    store_->buffer().resize(kWidth * kHeight * 4 / 2);
  });
  EXPECT_EQ(TSaveThread::Run(job), 1);
  resize.join();
  const std::string file = ReadFile(job.filename);
  const auto pictures = ParseMultiFrame(file);
  ASSERT_TRUE(pictures);
  ASSERT_EQ(pictures->size(), 1u);
  ExpectCameraPicture((*pictures)[0]);
}

TEST_F(SaveThreadTest, EndsWithoutWritingWhenTheFileCannotBeCreated) {
  // The archive folder has gone.
  SaveJob job = Job("gone/x1.jpg", 1);
  EXPECT_EQ(TSaveThread::Run(job), -1);
  EXPECT_FALSE(fs::exists(dir_ / "gone"));

  // Another saver of this process is writing the same name.
  job = Job("busy1.jpg", 1);
  { std::ofstream(job.filename) << "first"; }
  {
    platform::WritingFileGuard first(job.filename);
    EXPECT_EQ(TSaveThread::Run(job), -1);
  }
  EXPECT_EQ(ReadFile(job.filename), "first");

  // Another process holds it.
  const int fd = ::open(job.filename.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(TSaveThread::Run(job), -1);
  ::close(fd);
  EXPECT_EQ(ReadFile(job.filename), "first");

  // Once the first has finished, the next saver replaces the file.
  EXPECT_EQ(TSaveThread::Run(job), 1);
  ExpectCameraPicture(ReadFile(job.filename));
}

TEST_F(SaveThreadTest, LinkOfThePhotoNameIsReplacedNeverWrittenThrough) {
  const fs::path target = dir_ / "outside";
  { std::ofstream(target) << "not a photo"; }
  for (const char* name : {"link1.jpg", "dangling1.jpg"}) {
    const SaveJob job = Job(name, 1);
    fs::create_symlink(std::string(name) == "link1.jpg" ? target : dir_ / "gone", job.filename);
    EXPECT_EQ(TSaveThread::Run(job), 1) << name;
    EXPECT_FALSE(fs::is_symlink(job.filename)) << name;
    ExpectCameraPicture(ReadFile(job.filename));
  }
  EXPECT_EQ(ReadFile(target.string()), "not a photo");
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
  // A pipe of the name neither holds the saver nor is written.
  const SaveJob pipe = Job("pipe1.jpg", 1);
  ASSERT_EQ(::mkfifo(pipe.filename.c_str(), 0600), 0);
  EXPECT_EQ(TSaveThread::Run(pipe), -1);
}

// While it lives, writes of this process past `bytes` of a file fail (EFBIG)
// the way they do on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(SaveThreadTest, FileThatCannotBeWrittenWholeIsRemoved) {
  // (file, pictures, bytes the disk still takes): no torn picture may stay
  // behind for a reader to take for a photo, not even an empty file.
  for (const auto& [name, framecnt, room] :
       {std::tuple{"full1.jpg", 1, 0}, std::tuple{"torn1.jpg", 1, 300},
        std::tuple{"torn2.jpg", 3, 1500}}) {
    SCOPED_TRACE(name);
    const SaveJob job = Job(name, static_cast<uint8_t>(framecnt));
    { std::ofstream(job.filename) << "older photo"; }
    {
      FileSizeLimit limit(static_cast<rlim_t>(room));
      EXPECT_EQ(TSaveThread::Run(job), -1);
    }
    EXPECT_FALSE(fs::exists(job.filename));
    EXPECT_FALSE(platform::WritingFiles::Instance().IsBeingWritten(job.filename));
  }
}

TEST_F(SaveThreadTest, FileIsMarkedAsBeingWrittenUntilClosed) {
  const SaveJob job = Job("marked2.jpg", 2);
  std::thread saver([&] { TSaveThread::Run(job); });
  // During the pause between the two pictures.
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(platform::WritingFiles::Instance().IsBeingWritten(job.filename));
  saver.join();
  EXPECT_FALSE(platform::WritingFiles::Instance().IsBeingWritten(job.filename));
}

TEST_F(SaveThreadTest, StartedSaverKeepsTheFrameStoreAliveAfterItsCameraIsGone) {
  SaveJob job = Job("detached1.jpg", 1);
  job.sdelay = 200;
  TSaveThread::Start(job);
  // The camera worker and everybody else let go of the store.
  job.frames.reset();
  store_.reset();
  // Done once the file exists and is no longer being written.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline &&
         (!fs::exists(job.filename) ||
          platform::WritingFiles::Instance().IsBeingWritten(job.filename))) {
    std::this_thread::sleep_for(20ms);
  }
  ExpectCameraPicture(ReadFile(job.filename));
}

}  // namespace
}  // namespace kestrin::capture
