// The camera worker's connect / monitor / drop cycle against a stand-in
// source and a clock the test moves: the reason codes, the reconnection and
// how the worker hands the frame store to its sources.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "capture/tvlc_thread.h"
#include "test_files.h"

namespace kestrin::capture {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What the test sets and sees of the camera behind the stand-in sources.
struct FakeCamera {
  std::mutex mutex;
  std::condition_variable changed;
  // Set by the test.
  bool playing = true;
  bool flowing = true;        // pictures keep coming
  std::atomic<int> scene{1};  // the picture's contents; unchanged = frozen
  // Seen by the test.
  int made = 0;
  int alive = 0;       // sources not yet destroyed
  int most_alive = 0;  // at most this many at once
  int checks = 0;      // IsPlaying calls
  bool paused_before_resize = true;
  size_t buffer_at_deliver = 0;
};

constexpr uint32_t kWidth = 8;
constexpr uint32_t kHeight = 6;

// Reports an 8x6 picture and, once delivering, writes one every 10 ms.
class FakeSource : public CameraSource {
 public:
  FakeSource(FakeCamera& camera, FrameStore& store) : camera_(camera), store_(store) {
    std::lock_guard lock(camera_.mutex);
    ++camera_.made;
    camera_.most_alive = std::max(camera_.most_alive, ++camera_.alive);
  }
  ~FakeSource() override {
    writer_ = {};
    std::lock_guard lock(camera_.mutex);
    --camera_.alive;
    camera_.changed.notify_all();
  }
  bool Open(const std::string&) override { return true; }
  bool PictureSize(uint32_t& width, uint32_t& height) override {
    width = kWidth;
    height = kHeight;
    return true;
  }
  void Pause() override { paused_ = true; }
  void Deliver(uint32_t width, uint32_t height) override {
    {
      std::lock_guard frame(store_.mutex());
      std::lock_guard lock(camera_.mutex);
      camera_.buffer_at_deliver = store_.buffer().size();
      camera_.paused_before_resize = paused_;
      EXPECT_EQ(width * height, kWidth * kHeight);
    }
    writer_ = std::jthread([this](std::stop_token stop) {
      for (; !stop.stop_requested(); std::this_thread::sleep_for(10ms)) {
        {
          std::lock_guard lock(camera_.mutex);
          if (!camera_.flowing) continue;
        }
        std::lock_guard frame(store_.mutex());
        std::fill(store_.buffer().begin(), store_.buffer().end(),
                  static_cast<uint8_t>(camera_.scene.load()));
        ++store_.decoded_frames();
      }
    });
  }
  bool IsPlaying() override {
    std::lock_guard lock(camera_.mutex);
    ++camera_.checks;
    camera_.changed.notify_all();
    return camera_.playing;
  }
  void Stop() override {}
  int64_t DecodedCount() override { return -1; }

 private:
  FakeCamera& camera_;
  FrameStore& store_;
  bool paused_ = false;
  std::jthread writer_;
};

class FakeSources : public SourceMaker {
 public:
  explicit FakeSources(FakeCamera& camera) : camera_(camera) {}
  std::unique_ptr<CameraSource> Make(const std::string&, FrameStore& store) override {
    return std::make_unique<FakeSource>(camera_, store);
  }

 private:
  FakeCamera& camera_;
};

class CameraCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = testing::FreshTestFolder("kestrin_cycle_");
    service::ServiceConfig config;
    config.home = home_;
    state_ = std::make_unique<service::ServiceState>(config);
    worker_ = std::make_unique<TVLCThread>(
        5, *state_, [this] { return std::make_unique<FakeSources>(camera_); },
        [this] { return start_ + skipped_.load(); });
    worker_->Start();
    worker_->SetUrl("rtsp://camera/stream");
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  }
  void TearDown() override {
    worker_.reset();
    state_.reset();
    fs::remove_all(home_);
  }

  // Waits until `done` holds (checked whenever a source changes).
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock lock(camera_.mutex);
    for (int i = 0; i < 1000; ++i) {
      lock.unlock();
      if (done()) return true;
      lock.lock();
      camera_.changed.wait_for(lock, 20ms);
    }
    return false;
  }
  // Lets `n` monitor checks pass.
  void PassChecks(int n) {
    int target;
    {
      std::lock_guard lock(camera_.mutex);
      target = camera_.checks + n;
    }
    std::unique_lock lock(camera_.mutex);
    ASSERT_TRUE(camera_.changed.wait_for(lock, 20s, [&] { return camera_.checks >= target; }));
  }
  void Skip(std::chrono::seconds time) { skipped_ = skipped_.load() + time; }
  std::string Log() const {
    std::ifstream in(home_ / "videoserver.log", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void Set(bool FakeCamera::*field, bool value) {
    std::lock_guard lock(camera_.mutex);
    camera_.*field = value;
  }

  FakeCamera camera_;
  // The worker's clock stands still but for what the test skips.
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<std::chrono::steady_clock::duration> skipped_{};
  fs::path home_;
  std::unique_ptr<service::ServiceState> state_;
  std::unique_ptr<TVLCThread> worker_;
};

TEST_F(CameraCycleTest, SourceGetsASizedBufferAndNeverOverlapsTheNext) {
  EXPECT_EQ(worker_->Status().v_width, kWidth);
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().framecnt > 0; }));
  ASSERT_TRUE(worker_->RequestRestart());
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt == 1; }));
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  worker_->Stop();
  std::lock_guard lock(camera_.mutex);
  EXPECT_TRUE(camera_.paused_before_resize);
  EXPECT_EQ(camera_.buffer_at_deliver, kWidth * kHeight * kFrameBytesPerPixel);
  EXPECT_EQ(camera_.made, 2);
  EXPECT_EQ(camera_.most_alive, 1);
  EXPECT_EQ(camera_.alive, 0);
}

// Each cause drops the stream with its code, once; the worker reconnects.
TEST_F(CameraCycleTest, DropsWithTheCauseCodeAndReconnects) {
  struct Case {
    const char* cause;
    std::function<void()> provoke;
    int code;
  };
  const Case cases[] = {
      {"source stopped playing", [&] { Set(&FakeCamera::playing, false); }, 1},
      {"restart requested", [&] { ASSERT_TRUE(worker_->RequestRestart()); }, 2},
      {"picture frozen over two checks 30 s apart",
       [&] {
         // The first check only remembers the picture.
         Skip(31s);
         PassChecks(2);
         EXPECT_TRUE(worker_->Status().active);
         Skip(31s);
       },
       3},
      {"no new picture past the start grace",
       [&] {
         Set(&FakeCamera::flowing, false);
         PassChecks(3);
         EXPECT_TRUE(worker_->Status().active) << "dropped before 3 s passed";
         Skip(4s);
       },
       4},
  };
  int drops = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().framecnt > 0; }));
    c.provoke();
    ++drops;
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt == drops; }));
    // The worker logs the drop right after counting it.
    const std::string line = "[5] переподключение [Код: " + std::to_string(c.code) + "]";
    EXPECT_TRUE(WaitFor([&] { return Log().find(line) != std::string::npos; })) << Log();
    Set(&FakeCamera::playing, true);
    Set(&FakeCamera::flowing, true);
  }
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  const std::string log = Log();
  size_t connections = 0;
  for (size_t at = log.find("[5] видеопоток доступен 8x6"); at != std::string::npos;
       at = log.find("[5] видеопоток доступен 8x6", at + 1)) {
    ++connections;
  }
  EXPECT_EQ(connections, std::size(cases) + 1);
  EXPECT_EQ(worker_->Status().restartcnt, drops);
}

TEST_F(CameraCycleTest, MovingPictureIsNotFrozen) {
  for (int check = 0; check < 3; ++check) {
    camera_.scene = camera_.scene + 1;
    PassChecks(1);  // the new picture is in the store
    Skip(31s);
    PassChecks(2);
  }
  EXPECT_TRUE(worker_->Status().active);
  EXPECT_EQ(worker_->Status().restartcnt, 0);
}

}  // namespace
}  // namespace kestrin::capture
