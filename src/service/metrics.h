#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

namespace kestrin::service {

// The service's figures for monitoring, in one registry. Components count
// what happens as it happens; values that are states rather than events
// (streaming or not, free space, link state) are read by a refresh function
// just before each scrape. Every method may be called from any thread.
// Nothing here names a camera address, a login or a password.
class Metrics {
 public:
  static constexpr int kCameraCount = 9;

  Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // --- Cameras (index 0..8; other indexes are ignored). ---
  // The worker published `decoded`, its count of pictures since the stream
  // came up; a count lower than the last one starts a new stream.
  void CameraPictures(int index, int64_t decoded);
  // The worker dropped its stream with reason `code`.
  void CameraDrop(int index, int code);
  void SetCameraStreaming(int index, bool streaming);

  // --- Events and photos. ---
  void EventReceived() { events_received_.Increment(); }
  void EventMatched() { events_matched_.Increment(); }
  void SaverStarted() { savers_running_.Increment(); }
  // A saver has ended; `written` tells whether a photo is on disk, `latency`
  // is the time from the match to that moment.
  void SaverEnded(bool written, std::chrono::duration<double> latency);
  // Photos written since local midnight.
  int64_t PhotosToday() const;

  // --- Picture server, web, archive, link. ---
  void PictureRequest(std::string_view request_kind, std::string_view reply_kind);
  void WebLoginFailed() { web_logins_failed_.Increment(); }
  void SetArchiveFreeBytes(int64_t bytes) { archive_free_bytes_.Set(static_cast<double>(bytes)); }
  void ArchiveBytesRemoved(int64_t bytes) {
    archive_removed_bytes_.Increment(static_cast<double>(bytes));
  }
  // A connection to the access-control server is being opened; every one
  // after the first counts as a reconnect.
  void LinkConnecting();
  void SetLinkState(bool logged_in, bool database_known);

  // Runs before every collection, to bring state gauges up to date.
  void SetRefresh(std::function<void(Metrics&)> refresh);

  // What an endpoint serves: the refresh, then every family.
  std::shared_ptr<prometheus::Collectable> collectable() const { return collectable_; }

 private:
  class Refreshing;

  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Gauge>& camera_streaming_family_;
  prometheus::Family<prometheus::Counter>& camera_pictures_family_;
  prometheus::Family<prometheus::Counter>& camera_drops_family_;
  prometheus::Family<prometheus::Gauge>& camera_last_picture_family_;
  prometheus::Family<prometheus::Counter>& picture_requests_family_;
  prometheus::Family<prometheus::Counter>& picture_replies_family_;
  prometheus::Counter& events_received_;
  prometheus::Counter& events_matched_;
  prometheus::Counter& photos_written_;
  prometheus::Counter& photos_failed_;
  prometheus::Gauge& savers_running_;
  prometheus::Histogram& photo_latency_;
  prometheus::Counter& web_logins_failed_;
  prometheus::Gauge& archive_free_bytes_;
  prometheus::Counter& archive_removed_bytes_;
  prometheus::Gauge& link_logged_in_;
  prometheus::Gauge& link_database_known_;
  prometheus::Counter& link_reconnects_;

  struct Camera {
    prometheus::Gauge* streaming;
    prometheus::Counter* pictures;
    prometheus::Gauge* last_picture;
    int64_t last_count = 0;
  };
  mutable std::mutex mutex_;  // cameras_' counts, the day count, the refresh
  std::array<Camera, kCameraCount> cameras_{};
  int64_t today_ = 0;  // local day number of photos_today_
  int64_t photos_today_ = 0;
  bool link_opened_ = false;
  std::function<void(Metrics&)> refresh_;
  std::shared_ptr<prometheus::Collectable> collectable_;
};

}  // namespace kestrin::service
