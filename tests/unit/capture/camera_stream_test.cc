// The camera worker and the frame saver against the real libVLC, with the
// camera simulator (MJPEG over HTTP) and ffmpeg (MPEG-TS over UDP) as cameras.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>

#include "capture/multi_frame.h"
#include "capture/save_thread.h"
#include "capture/tvlc_thread.h"
#include "test_files.h"
#include "test_jpeg.h"
#include "test_process.h"

namespace kestrin::capture {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::DecodeJpeg;
using testing::ReadFile;

// Polls `done` every 100 ms for at most `limit`.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return done();
}

// Starts the camera simulator on a free port with `options`; the URL of its
// stream, or empty when it did not start.
std::string StartCamsim(std::unique_ptr<ChildProcess>& process, std::vector<std::string> options) {
  // KESTRIN_CAMSIM in the environment names another build of the simulator
  // (a sanitizer build of these tests may run a plain one).
  const char* camsim = std::getenv("KESTRIN_CAMSIM");
  std::vector<std::string> argv = {camsim != nullptr ? camsim : KESTRIN_CAMSIM};
  argv.insert(argv.end(), {"--port", "0", "--size", "320x240", "--fps", "10"});
  argv.insert(argv.end(), options.begin(), options.end());
  process = std::make_unique<ChildProcess>(argv);
  const std::string line = process->FirstLine(5s);
  const auto colon = line.rfind(':');
  if (line.rfind("camsim listening on ", 0) != 0 || colon == std::string::npos) return {};
  return "http://127.0.0.1:" + line.substr(colon + 1) + "/";
}

service::ServiceConfig ConfigAt(const fs::path& home) {
  service::ServiceConfig config;
  config.home = home;
  return config;
}

class CameraStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loader_home_ = fs::temp_directory_path() / ("kestrin_vlc_" + std::to_string(::getpid()));
    fs::create_directories(loader_home_);
    loader_state_ = new service::ServiceState(ConfigAt(loader_home_));
    vlc_ = new service::VlcLibrary();
    vlc_loaded_ = vlc_->LoadVlc("", loader_state_->log());
  }
  static void TearDownTestSuite() {
    // libVLC stays loaded until the process ends.
    delete loader_state_;
    fs::remove_all(loader_home_);
  }

  void SetUp() override {
    ASSERT_TRUE(vlc_loaded_) << "the system's libVLC did not load";
    home_ = testing::FreshTestFolder("kestrin_camera_");
    state_ = std::make_unique<service::ServiceState>(ConfigAt(home_));
    worker_ = std::make_unique<TVLCThread>(0, vlc_->api(), *state_);
    worker_->Start();
  }
  void TearDown() override {
    if (worker_) worker_->Stop();
    worker_.reset();
    state_.reset();
    fs::remove_all(home_);
  }

  std::string Log() const { return ReadFile(home_ / "videoserver.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  size_t CountLogged(const std::string& text) const {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }
  bool WaitActive(std::chrono::seconds limit = 30s) {
    return WaitFor([&] { return worker_->Status().active; }, limit);
  }

  // A save job for the worker's current stream.
  SaveJob JobFor(const std::string& name, uint8_t framecnt) const {
    const CameraStatus status = worker_->Status();
    SaveJob job;
    job.quality = 90;
    job.framecnt = framecnt;
    job.filename = (home_ / name).string();
    job.width = static_cast<int32_t>(status.v_width);
    job.height = static_cast<int32_t>(status.v_height);
    job.frames = status.frames;
    job.buff_idx = worker_->index();
    return job;
  }

  static inline fs::path loader_home_;
  static inline service::ServiceState* loader_state_ = nullptr;
  static inline service::VlcLibrary* vlc_ = nullptr;
  static inline bool vlc_loaded_ = false;

  fs::path home_;
  std::unique_ptr<service::ServiceState> state_;
  std::unique_ptr<TVLCThread> worker_;
};

// The simulator's fixed patch (red 0x20, green 0x60, blue 0xC0) in the middle.
void ExpectPatchColour(std::string_view jpeg) {
  const auto decoded = DecodeJpeg(jpeg);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.width, 320u);
  EXPECT_EQ(decoded.height, 240u);
  const uint8_t* rgb = decoded.At(160, 120);
  EXPECT_NEAR(rgb[0], 0x20, 12);
  EXPECT_NEAR(rgb[1], 0x60, 12);
  EXPECT_NEAR(rgb[2], 0xC0, 12);
}

TEST_F(CameraStreamTest, StreamsAndSavesSingleAndMultiFrameFiles) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {});
  ASSERT_FALSE(url.empty());
  EXPECT_FALSE(worker_->Status().active);
  EXPECT_FALSE(worker_->RequestRestart());  // not active: ignored

  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  EXPECT_TRUE(Logged("[0] видеопоток доступен 320x240"));
  CameraStatus status = worker_->Status();
  EXPECT_EQ(status.v_width, 320u);
  EXPECT_EQ(status.v_height, 240u);
  EXPECT_EQ(status.url, url);
  EXPECT_EQ(status.saveframe, 0);
  EXPECT_TRUE(status.lastfilename.empty());
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().framecnt > 10; }, 10s));

  const SaveJob single = JobFor("0012A3B4C5D6_0C08150E05091.jpg", 1);
  EXPECT_EQ(TSaveThread::Run(single), 1);
  ExpectPatchColour(ReadFile(single.filename));

  const SaveJob multi = JobFor("0012A3B4C5D6_0C08150E05092.jpg", 25);
  EXPECT_EQ(TSaveThread::Run(multi), 25);
  const std::string file = ReadFile(multi.filename);
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(file[0] == 0x03 || file[0] == 0x04);
  const auto pictures = ParseMultiFrame(file);
  ASSERT_TRUE(pictures);
  ASSERT_EQ(pictures->size(), 25u);
  for (std::string_view picture : *pictures) ExpectPatchColour(picture);
  // The moving bar: pictures 200 ms apart differ.
  EXPECT_NE((*pictures)[0], (*pictures)[24]);

  worker_->RecordSave("0012A3B4C5D620210812140509");
  status = worker_->Status();
  EXPECT_EQ(status.saveframe, 1);
  EXPECT_EQ(status.lastfilename, "0012A3B4C5D620210812140509");
  EXPECT_EQ(CountLogged("переподключение"), 0u);
}

TEST_F(CameraStreamTest, RestartRequestDropsWithCode2AndReconnects) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  worker_->RecordSave("0012A3B4C5D620210812140509");

  ASSERT_TRUE(worker_->RequestRestart());
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt == 1; }, 5s));
  EXPECT_TRUE(Logged("[0] переподключение [Код: 2]"));
  ASSERT_TRUE(WaitActive());
  const CameraStatus status = worker_->Status();
  EXPECT_EQ(status.saveframe, 0);
  EXPECT_TRUE(status.lastfilename.empty());
  EXPECT_FALSE(status.forcerestart);
  EXPECT_EQ(CountLogged("видеопоток доступен"), 2u);
}

TEST_F(CameraStreamTest, StalledStreamDropsWithCode4AndReconnects) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {"--stall-after", "5"});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  ASSERT_TRUE(WaitFor([&] { return Logged("[0] переподключение [Код: 4]"); }, 30s)) << Log();
  // Dropped: the published picture is gone until the next activation.
  ASSERT_TRUE(WaitFor([&] { return CountLogged("видеопоток доступен") >= 2; }, 30s)) << Log();
  EXPECT_GE(worker_->Status().restartcnt, 1);
}

TEST_F(CameraStreamTest, ClosedStreamDropsWithCode1Or4) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {"--close-after", "4"});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt >= 1; }, 30s)) << Log();
  EXPECT_TRUE(Logged("[0] переподключение [Код: 1]") || Logged("[0] переподключение [Код: 4]"))
      << Log();
  const CameraStatus status = worker_->Status();
  if (!status.active) {
    EXPECT_EQ(status.v_width, 0u);
    EXPECT_EQ(status.v_height, 0u);
  }
}

TEST_F(CameraStreamTest, FrozenPictureDropsWithCode3) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {"--freeze-after", "2"});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  // Two picture checks 30 s apart see the same picture.
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt >= 1; }, 100s)) << Log();
  EXPECT_TRUE(Logged("[0] переподключение [Код: 3]")) << Log();
  EXPECT_FALSE(Logged("[Код: 4]")) << Log();
}

TEST_F(CameraStreamTest, HealthyUdpStreamIsNotDroppedDuringStartUpBuffering) {
  // ffmpeg sends MPEG-TS over UDP; libVLC buffers network sources, so pictures
  // arrive in a burst, pause, and then flow steadily.
  const int port = 20000 + ::getpid() % 20000;
  ChildProcess ffmpeg({"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                       "testsrc=size=352x288:rate=25", "-c:v", "mpeg2video", "-q:v", "5", "-f",
                       "mpegts", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"});
  ASSERT_TRUE(ffmpeg.started());
  worker_->SetUrl("udp://@127.0.0.1:" + std::to_string(port));
  ASSERT_TRUE(WaitActive());
  EXPECT_TRUE(Logged("[0] видеопоток доступен 352x288"));
  const int64_t early = worker_->Status().framecnt;
  std::this_thread::sleep_for(8s);
  const CameraStatus status = worker_->Status();
  EXPECT_TRUE(status.active);
  EXPECT_EQ(status.restartcnt, 0) << Log();
  EXPECT_GT(status.framecnt, early + 100);
}

TEST_F(CameraStreamTest, AddressChangesAreNotDropsAndBadAddressesStaySilent) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());

  // Removing the address: idle, no drop.
  worker_->SetUrl("");
  EXPECT_FALSE(worker_->Status().active);
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(worker_->Status().active);

  // Nothing listens there: the attempts fail silently and never activate.
  worker_->SetUrl("http://127.0.0.1:9/");
  std::this_thread::sleep_for(12s);
  EXPECT_FALSE(worker_->Status().active);

  // A good address again: the worker gets to it after its retry pause.
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());
  const CameraStatus status = worker_->Status();
  EXPECT_EQ(status.restartcnt, 0);
  EXPECT_EQ(CountLogged("переподключение"), 0u) << Log();
  EXPECT_EQ(CountLogged("видеопоток доступен"), 2u) << Log();
}

TEST_F(CameraStreamTest, SaversReadSafelyWhileTheWorkerReconnects) {
  std::unique_ptr<ChildProcess> camsim;
  const std::string url = StartCamsim(camsim, {"--stall-after", "4"});
  ASSERT_FALSE(url.empty());
  worker_->SetUrl(url);
  ASSERT_TRUE(WaitActive());

  std::atomic<int> written{0};
  std::vector<std::thread> savers;
  // At least 8 s and three reconnections (bounded: slow under sanitizers).
  const auto start = std::chrono::steady_clock::now();
  auto busy = [&] {
    const auto now = std::chrono::steady_clock::now();
    return now < start + 90s && (now < start + 8s || worker_->Status().restartcnt < 3);
  };
  for (int i = 0; busy(); ++i) {
    const CameraStatus status = worker_->Status();
    if (status.active) {
      SaveJob job = JobFor("save" + std::to_string(i) + "2.jpg", 3);
      savers.emplace_back([job, &written] {
        if (TSaveThread::Run(job) > 0) ++written;
      });
    }
    if (i % 8 == 0) worker_->RequestRestart();
    std::this_thread::sleep_for(150ms);
  }
  for (auto& saver : savers) saver.join();
  EXPECT_GE(worker_->Status().restartcnt, 3);
  EXPECT_GT(written.load(), 0);
  // Every file holds whole pictures of the size the saver was given.
  for (const auto& entry : fs::directory_iterator(home_)) {
    if (entry.path().extension() != ".jpg") continue;
    const std::string file = ReadFile(entry.path());
    const auto pictures = ParseMultiFrame(file);
    ASSERT_TRUE(pictures) << entry.path();
    for (std::string_view picture : *pictures) EXPECT_TRUE(DecodeJpeg(picture).ok);
  }
}

}  // namespace
}  // namespace kestrin::capture
