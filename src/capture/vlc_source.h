#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture/camera_source.h"
#include "service/vlc_library.h"

namespace kestrin::capture {

// Sources that open addresses through libVLC (files, HTTP MJPEG, UDP and the
// rest libVLC opens here). The maker holds one libVLC instance for its whole
// life: libVLC loads its plug-ins when the first instance is created and
// unloads them when the last is released, losing some memory each time, so
// the instance made for every connection then costs nothing lasting.
// The libVLC instance options for a connection to `url`: "--no-audio", and
// for HTTP and HTTPS addresses (MJPEG cameras) a network caching of
// kHttpCachingMs instead of libVLC's 1000 ms. libVLC shows each picture that
// long after it arrived, so with its default every photo of an MJPEG camera
// showed the door about 1.2 s before the event. Other addresses keep the
// default: with less caching a UDP MPEG-TS stream went on decoding but stopped
// showing new pictures, leaving the frame store on one old picture.
std::vector<std::string> VlcInstanceOptions(std::string_view url);
inline constexpr int kHttpCachingMs = 100;

class VlcSourceMaker : public SourceMaker {
 public:
  // `vlc` must be filled in (libVLC loaded) and outlive the maker.
  explicit VlcSourceMaker(const service::VlcApi& vlc);
  ~VlcSourceMaker() override;

  std::unique_ptr<CameraSource> Make(const std::string& url, FrameStore& store) override;

  struct DecodeStats;  // libVLC's count of decoded pictures

 private:
  const service::VlcApi& vlc_;
  std::unique_ptr<DecodeStats> stats_;
  libvlc_instance_t* anchor_ = nullptr;
};

}  // namespace kestrin::capture
