// The camera worker's bookkeeping against a stand-in libVLC: which addresses
// it opens and that every connection's objects are released.

#include "capture/tvlc_thread.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrin::capture {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// --- A stand-in libVLC: 64x48 pictures, playing as soon as it is told to,
// and a decoder thread that writes a frame every 20 ms through the callbacks.

struct FakePlayer {
  std::string location;
  std::atomic<bool> playing{false};
  libvlc_video_lock_cb lock = nullptr;
  libvlc_video_unlock_cb unlock = nullptr;
  void* opaque = nullptr;
  std::jthread decoder;
};
struct FakeMedia {
  std::string location;
};

struct FakeVlc {
  std::mutex mutex;
  int instances_made = 0;
  int instances_released = 0;
  int players_made = 0;
  int players_released = 0;
  std::vector<std::string> locations;
  // While set, the size probe waits for `probe_release`.
  bool hold_probe = false;
  std::condition_variable probe_changed;
  bool probe_waiting = false;
};
FakeVlc* fake = nullptr;

const char* FakeVersion() {
  return "fake";
}
libvlc_instance_t* FakeNew(int, const char* const*) {
  std::lock_guard lock(fake->mutex);
  ++fake->instances_made;
  return reinterpret_cast<libvlc_instance_t*>(new int(0));
}
void FakeRelease(libvlc_instance_t* instance) {
  delete reinterpret_cast<int*>(instance);
  std::lock_guard lock(fake->mutex);
  ++fake->instances_released;
}
libvlc_media_t* FakeMediaNew(libvlc_instance_t*, const char* location) {
  std::lock_guard lock(fake->mutex);
  fake->locations.push_back(location);
  return reinterpret_cast<libvlc_media_t*>(new FakeMedia{location});
}
void FakeMediaRelease(libvlc_media_t* media) {
  delete reinterpret_cast<FakeMedia*>(media);
}
libvlc_media_player_t* FakePlayerNew(libvlc_media_t* media) {
  auto* player = new FakePlayer;
  player->location = reinterpret_cast<FakeMedia*>(media)->location;
  std::lock_guard lock(fake->mutex);
  ++fake->players_made;
  return reinterpret_cast<libvlc_media_player_t*>(player);
}
FakePlayer* Player(libvlc_media_player_t* player) {
  return reinterpret_cast<FakePlayer*>(player);
}
void FakeSetHwnd(libvlc_media_player_t*, void*) {}
int FakePlay(libvlc_media_player_t* p) {
  FakePlayer* player = Player(p);
  player->playing = true;
  if (player->lock != nullptr && !player->decoder.joinable()) {
    player->decoder = std::jthread([player](std::stop_token stop) {
      for (uint8_t n = 1; !stop.stop_requested(); ++n) {
        void* planes[1] = {nullptr};
        player->lock(player->opaque, planes);
        std::fill_n(static_cast<uint8_t*>(planes[0]), 64 * 48 * 4, n);
        player->unlock(player->opaque, nullptr, planes);
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  return 0;
}
void FakeStop(libvlc_media_player_t* p) {
  FakePlayer* player = Player(p);
  if (player->decoder.joinable()) {
    player->decoder.request_stop();
    player->decoder.join();
  }
  player->playing = false;
}
void FakePlayerRelease(libvlc_media_player_t* p) {
  FakeStop(p);
  delete Player(p);
  std::lock_guard lock(fake->mutex);
  ++fake->players_released;
}
int FakeIsPlaying(libvlc_media_player_t* p) {
  return Player(p)->playing ? 1 : 0;
}
int FakeGetSize(libvlc_media_player_t*, unsigned, unsigned* width, unsigned* height) {
  std::unique_lock lock(fake->mutex);
  fake->probe_waiting = true;
  fake->probe_changed.notify_all();
  fake->probe_changed.wait(lock, [] { return !fake->hold_probe; });
  fake->probe_waiting = false;
  *width = 64;
  *height = 48;
  return 0;
}
void FakeSetCallbacks(libvlc_media_player_t* p, libvlc_video_lock_cb lock,
                      libvlc_video_unlock_cb unlock, libvlc_video_display_cb, void* opaque) {
  Player(p)->lock = lock;
  Player(p)->unlock = unlock;
  Player(p)->opaque = opaque;
}
void FakeSetFormat(libvlc_media_player_t*, const char*, unsigned, unsigned, unsigned) {}

service::VlcApi FakeApi() {
  service::VlcApi api;
  api.get_version = FakeVersion;
  api.new_instance = FakeNew;
  api.media_new_location = FakeMediaNew;
  api.media_player_new_from_media = FakePlayerNew;
  api.media_release = FakeMediaRelease;
  api.media_player_set_hwnd = FakeSetHwnd;
  api.media_player_play = FakePlay;
  api.media_player_stop = FakeStop;
  api.media_player_release = FakePlayerRelease;
  api.release = FakeRelease;
  api.media_player_is_playing = FakeIsPlaying;
  api.video_get_size = FakeGetSize;
  api.video_set_callbacks = FakeSetCallbacks;
  api.video_set_format = FakeSetFormat;
  return api;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class TVLCThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &vlc_;
    home_ = testing::FreshTestFolder("kestrin_worker_");
    service::ServiceConfig config;
    config.home = home_;
    state_ = std::make_unique<service::ServiceState>(config);
    worker_ = std::make_unique<TVLCThread>(3, api_, *state_);
    worker_->Start();
  }
  void TearDown() override {
    worker_.reset();
    state_.reset();
    fs::remove_all(home_);
    fake = nullptr;
  }
  std::string Log() const {
    std::ifstream in(home_ / "videoserver.log", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  FakeVlc vlc_;
  service::VlcApi api_ = FakeApi();
  fs::path home_;
  std::unique_ptr<service::ServiceState> state_;
  std::unique_ptr<TVLCThread> worker_;
};

TEST_F(TVLCThreadTest, AddressChangedWhileConnectingOpensTheNewAddress) {
  {
    std::lock_guard lock(vlc_.mutex);
    vlc_.hold_probe = true;
  }
  worker_->SetUrl("http://old/");
  {
    // The worker is probing the old camera when the address changes.
    std::unique_lock lock(vlc_.mutex);
    ASSERT_TRUE(vlc_.probe_changed.wait_for(lock, 10s, [&] { return vlc_.probe_waiting; }));
  }
  worker_->SetUrl("http://new/");
  {
    std::lock_guard lock(vlc_.mutex);
    vlc_.hold_probe = false;
  }
  vlc_.probe_changed.notify_all();

  ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  const CameraStatus status = worker_->Status();
  EXPECT_EQ(status.url, "http://new/");
  {
    std::lock_guard lock(vlc_.mutex);
    ASSERT_EQ(vlc_.locations.size(), 2u);
    EXPECT_EQ(vlc_.locations[1], "http://new/");
  }
  // Only the new stream became the camera's.
  const std::string log = Log();
  ASSERT_NE(log.find("[3] видеопоток доступен 64x48"), std::string::npos);
  EXPECT_EQ(log.find("[3] видеопоток доступен"), log.rfind("[3] видеопоток доступен"));
  EXPECT_EQ(status.restartcnt, 0);
}

TEST_F(TVLCThreadTest, EveryConnectionReleasesItsPlayerAndInstance) {
  worker_->SetUrl("http://camera/");
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  // Pictures flow into the frame store through the callbacks.
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().framecnt > 0; }));
  for (int restart = 1; restart <= 3; ++restart) {
    ASSERT_TRUE(worker_->RequestRestart());
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().restartcnt == restart; }));
    ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  }
  EXPECT_NE(Log().find("[3] переподключение [Код: 2]"), std::string::npos);
  {
    std::lock_guard lock(vlc_.mutex);
    EXPECT_EQ(vlc_.players_made, 4);
    EXPECT_EQ(vlc_.players_released, 3);
    // Four connections and the instance that keeps the plug-ins loaded.
    EXPECT_EQ(vlc_.instances_made, 5);
    EXPECT_EQ(vlc_.instances_released, 3);
  }

  // An empty address: idle, the player stopped and released, the picture kept.
  worker_->SetUrl("");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(vlc_.mutex);
    return vlc_.players_released == 4;
  }));
  const CameraStatus idle = worker_->Status();
  EXPECT_FALSE(idle.active);
  EXPECT_EQ(idle.v_width, 64u);
  EXPECT_EQ(idle.restartcnt, 3);

  worker_->Stop();
  std::lock_guard lock(vlc_.mutex);
  EXPECT_EQ(vlc_.instances_released, vlc_.instances_made);
  EXPECT_EQ(vlc_.players_released, vlc_.players_made);
}

TEST_F(TVLCThreadTest, StopReleasesTheStreamingPlayer) {
  worker_->SetUrl("http://camera/");
  ASSERT_TRUE(WaitFor([&] { return worker_->Status().active; }));
  worker_->Stop();
  std::lock_guard lock(vlc_.mutex);
  EXPECT_EQ(vlc_.players_released, vlc_.players_made);
  EXPECT_EQ(vlc_.instances_released, vlc_.instances_made);
}

}  // namespace
}  // namespace kestrin::capture
