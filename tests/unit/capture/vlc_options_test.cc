// Which libVLC options each kind of camera address gets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/vlc_source.h"

namespace kestrin::capture {
namespace {

TEST(VlcOptionsTest, HttpCamerasGetShortCachingOthersTheDefault) {
  const std::vector<std::string> plain = {"--no-audio"};
  const std::vector<std::string> http = {"--no-audio",
                                         "--network-caching=" + std::to_string(kHttpCachingMs)};
  const std::pair<const char*, const std::vector<std::string>&> cases[] = {
      {"http://10.0.0.5/mjpg/video.mjpg", http},
      {"HTTP://cam:8080/", http},
      {"https://user:pw@cam/stream", http},
      {"udp://@127.0.0.1:5000", plain},
      {"file:///tmp/camera.ts", plain},
      {"httpx://cam/", plain},
      {"http:/cam", plain},
      {"", plain},
  };
  for (const auto& [url, options] : cases) EXPECT_EQ(VlcInstanceOptions(url), options) << url;
}

}  // namespace
}  // namespace kestrin::capture
