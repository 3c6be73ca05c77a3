#include "capture/save_service.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

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

// Noisy pictures, so that one JPEG is larger than a write block and a file
// shows its first picture while the saver still runs.
constexpr int kWidth = 160;
constexpr int kHeight = 120;

// Whether the file exists and holds something.
bool HasData(const std::string& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return !error && size > 0;
}

// The ends of the savers, by file name.
class Ends {
 public:
  SaveService::Done For(const std::string& path) {
    return [this, path](int pictures) {
      std::lock_guard lock(mutex_);
      results_[path] = pictures;
      changed_.notify_all();
    };
  }
  // Waits (bounded, against a hang) until `count` savers have ended.
  std::map<std::string, int> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return results_.size() >= count; });
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> results_;
};

class SaveServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::FreshTestFolder("kestrin_service_");
    store_ = std::make_shared<FrameStore>();
    Decode(1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The camera decodes its next picture, as a camera source does.
  void Decode(unsigned seed) {
    std::mt19937 random(seed);
    std::lock_guard lock(store_->mutex());
    store_->buffer().resize(size_t{kWidth} * kHeight * 4);
    for (uint8_t& byte : store_->buffer()) byte = static_cast<uint8_t>(random());
    ++store_->decoded_frames();
  }

  SaveJob Job(const std::string& name, int quality = 90, uint8_t framecnt = 1,
              int32_t delay = 0) const {
    SaveJob job;
    job.sdelay = delay;
    job.quality = static_cast<uint8_t>(quality);
    job.framecnt = framecnt;
    job.filename = (dir_ / name).string();
    job.width = kWidth;
    job.height = kHeight;
    job.frames = store_;
    return job;
  }

  // What a lone saver writes for `job` from the current picture.
  std::string LoneFile(SaveJob job) {
    job.filename = (dir_ / ("lone_" + fs::path(job.filename).filename().string())).string();
    job.sdelay = 0;
    EXPECT_EQ(TSaveThread::Run(job), job.framecnt);
    return ReadFile(job.filename);
  }

  fs::path dir_;
  std::shared_ptr<FrameStore> store_;
};

TEST_F(SaveServiceTest, SaversOfOnePictureShareOneCopyAndOneEncodePerQuality) {
  struct Case {
    const char* what;
    int second_quality;
    bool next_picture_between;  // the second saver's delay ends after the camera's next picture
    uint64_t copies;
    uint64_t encodes;
  };
  const Case cases[] = {
      {"same picture, same quality", 90, false, 1, 1},
      {"same picture, other quality", 60, false, 1, 2},
      {"delay falls on the next picture", 90, true, 2, 2},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++number;
    Ends ends;
    SaveService service(2);
    const SaveJob first = Job("a" + std::to_string(number) + "1.jpg");
    const SaveJob second = Job("b" + std::to_string(number) + "1.jpg", c.second_quality, 1,
                               c.next_picture_between ? 1000 : 0);
    const std::string first_lone = LoneFile(first);
    std::string second_lone = c.next_picture_between ? "" : LoneFile(second);
    service.Submit(first, ends.For(first.filename));
    if (c.next_picture_between) {
      ends.WaitFor(1);
      Decode(2);
      second_lone = LoneFile(second);
    }
    service.Submit(second, ends.For(second.filename));
    const auto results = ends.WaitFor(2);
    EXPECT_EQ(results.at(first.filename), 1);
    EXPECT_EQ(results.at(second.filename), 1);
    EXPECT_EQ(service.copies(), c.copies);
    EXPECT_EQ(service.encodes(), c.encodes);
    // Byte for byte what a lone saver writes.
    EXPECT_EQ(ReadFile(first.filename), first_lone);
    EXPECT_EQ(ReadFile(second.filename), second_lone);
    EXPECT_TRUE(DecodeJpeg(ReadFile(second.filename)).ok);
  }
}

TEST_F(SaveServiceTest, MultiFrameFilesShareTheirPicturesWithEachOtherAndSingleFrames) {
  Ends ends;
  SaveService service(2);
  const SaveJob multi_a = Job("m2.jpg", 90, 3);
  const SaveJob multi_b = Job("n2.jpg", 90, 3);
  const SaveJob single = Job("s1.jpg", 90, 1, 250);  // between their pictures
  const std::string lone = LoneFile(multi_a);
  for (const SaveJob& job : {multi_a, multi_b, single}) {
    service.Submit(job, ends.For(job.filename));
  }
  const auto results = ends.WaitFor(3);
  EXPECT_EQ(results.at(multi_a.filename), 3);
  EXPECT_EQ(results.at(multi_b.filename), 3);
  EXPECT_EQ(results.at(single.filename), 1);
  // The camera showed one picture all along.
  EXPECT_EQ(service.copies(), 1u);
  EXPECT_EQ(service.encodes(), 1u);
  EXPECT_EQ(ReadFile(multi_a.filename), lone);
  EXPECT_EQ(ReadFile(multi_b.filename), lone);
  const auto pictures = ParseMultiFrame(lone);
  ASSERT_TRUE(pictures);
  ASSERT_EQ(pictures->size(), 3u);
  EXPECT_EQ(ReadFile(single.filename), std::string((*pictures)[0]));
}

TEST_F(SaveServiceTest, SecondSaverOfTheSameNameEndsWithoutWriting) {
  Ends ends;
  SaveService service(2);
  const SaveJob first = Job("same2.jpg", 90, 2);
  SaveJob second = Job("same2.jpg", 50, 1);
  second.sdelay = 100;  // while the first still writes
  const std::string lone = LoneFile(first);
  service.Submit(first, ends.For("first"));
  service.Submit(second, ends.For("second"));
  const auto results = ends.WaitFor(2);
  EXPECT_EQ(results.at("first"), 2);
  EXPECT_EQ(results.at("second"), -1);
  EXPECT_EQ(ReadFile(first.filename), lone);
}

TEST_F(SaveServiceTest, CameraDroppedMidBurstKeepsWrittenFilesWhole) {
  Ends ends;
  SaveService service(2);
  std::vector<SaveJob> before, collecting, after;
  for (int i = 0; i < 20; ++i) before.push_back(Job("before" + std::to_string(i) + "1.jpg"));
  for (int i = 0; i < 3; ++i) {
    collecting.push_back(Job("collect" + std::to_string(i) + "2.jpg", 90, 25));
  }
  for (int i = 0; i < 5; ++i)
    after.push_back(Job("after" + std::to_string(i) + "1.jpg", 90, 1, 800));
  for (const auto* jobs : {&before, &collecting, &after}) {
    for (const SaveJob& job : *jobs) service.Submit(job, ends.For(job.filename));
  }
  // Once the collecting savers have written a picture, the camera is dropped
  // the way its worker drops it.
  ends.WaitFor(before.size());
  for (int i = 0; i < 6000 && !HasData(collecting.back().filename); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  {
    std::lock_guard lock(store_->mutex());
    std::vector<uint8_t>().swap(store_->buffer());
  }
  store_->DropCopyBuffers();
  const auto results = ends.WaitFor(before.size() + collecting.size() + after.size());

  for (const SaveJob& job : before) {
    EXPECT_EQ(results.at(job.filename), 1);
    const auto decoded = DecodeJpeg(ReadFile(job.filename));
    EXPECT_TRUE(decoded.ok) << job.filename;
    EXPECT_EQ(decoded.width, unsigned{kWidth});
  }
  for (const SaveJob& job : collecting) {
    const std::string file = ReadFile(job.filename);
    const auto pictures = ParseMultiFrame(file);
    ASSERT_TRUE(pictures) << job.filename;
    EXPECT_EQ(static_cast<int>(pictures->size()), results.at(job.filename));
    EXPECT_GE(pictures->size(), 1u);
    EXPECT_LT(pictures->size(), 25u);
    for (std::string_view picture : *pictures) {
      EXPECT_TRUE(DecodeJpeg(picture).ok) << job.filename;
    }
  }
  // Savers still waiting found no camera: their files stay empty.
  for (const SaveJob& job : after) {
    EXPECT_EQ(results.at(job.filename), 0);
    ASSERT_TRUE(fs::exists(job.filename));
    EXPECT_EQ(fs::file_size(job.filename), 0u);
  }
}

// A camera that has just reconnected has its buffer before its first picture.
// A photo asked for then waits for that picture (the lone saver too) instead
// of encoding the empty buffer; with no picture at all it ends as for a
// dropped camera.
TEST_F(SaveServiceTest, SaversWaitForTheFirstPictureOfANewStream) {
  for (const bool comes : {true, false}) {
    SCOPED_TRACE(comes ? "the picture comes" : "no picture comes");
    {
      std::lock_guard lock(store_->mutex());
      ++store_->streams();
      store_->decoded_frames() = 0;
      std::fill(store_->buffer().begin(), store_->buffer().end(), 0);
    }
    Ends ends;
    SaveService service(2);
    const std::string tag = comes ? "comes" : "none";
    const SaveJob single = Job(tag + "1.jpg");
    const SaveJob multi = Job(tag + "2.jpg", 90, 3);
    service.Submit(single, ends.For(single.filename));
    service.Submit(multi, ends.For(multi.filename));
    std::string lone;
    if (comes) {
      std::thread lone_saver([&] { lone = LoneFile(single); });
      std::this_thread::sleep_for(300ms);
      Decode(7);
      lone_saver.join();
    }
    const auto results = ends.WaitFor(2);
    if (comes) {
      EXPECT_EQ(results.at(single.filename), 1);
      EXPECT_EQ(ReadFile(single.filename), lone);
      EXPECT_EQ(results.at(multi.filename), 3);
      const std::string file = ReadFile(multi.filename);
      const auto pictures = ParseMultiFrame(file);
      ASSERT_TRUE(pictures);
      EXPECT_EQ(std::string((*pictures)[0]), lone);
    } else {
      EXPECT_EQ(results.at(single.filename), 0);
      EXPECT_EQ(results.at(multi.filename), 0);
      EXPECT_EQ(fs::file_size(single.filename), 0u);
      EXPECT_EQ(fs::file_size(multi.filename), 0u);
    }
  }
}

TEST_F(SaveServiceTest, GoingAwayEndsEverySaver) {
  Ends ends;
  const SaveJob waiting = Job("waiting1.jpg", 90, 1, 60000);
  const SaveJob collecting = Job("collecting2.jpg", 90, 25);
  {
    SaveService service(1);
    service.Submit(waiting, ends.For(waiting.filename));
    service.Submit(collecting, ends.For(collecting.filename));
    for (int i = 0; i < 6000 && !HasData(collecting.filename); ++i) {
      std::this_thread::sleep_for(1ms);
    }
  }
  const auto results = ends.WaitFor(2);
  // Waiting for its delay: ends without a file.
  EXPECT_EQ(results.at(waiting.filename), -1);
  EXPECT_FALSE(fs::exists(waiting.filename));
  // Between two pictures: the file keeps those written, whole.
  const std::string file = ReadFile(collecting.filename);
  const auto pictures = ParseMultiFrame(file);
  ASSERT_TRUE(pictures);
  EXPECT_EQ(static_cast<int>(pictures->size()), results.at(collecting.filename));
  EXPECT_GE(pictures->size(), 1u);
  EXPECT_FALSE(platform::WritingFiles::Instance().IsBeingWritten(collecting.filename));
}

}  // namespace
}  // namespace kestrin::capture
