#include "service/metrics.h"

#include <ctime>

namespace kestrin::service {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Days since 1970 of the local calendar date.
int64_t LocalDayNumber() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return (static_cast<int64_t>(now) + local.tm_gmtoff) / 86400;
}

}  // namespace

class Metrics::Refreshing : public prometheus::Collectable {
 public:
  Refreshing(Metrics& metrics, std::shared_ptr<prometheus::Registry> registry)
      : metrics_(metrics), registry_(std::move(registry)) {}

  std::vector<prometheus::MetricFamily> Collect() const override {
    std::function<void(Metrics&)> refresh;
    {
      std::lock_guard lock(metrics_.mutex_);
      refresh = metrics_.refresh_;
    }
    if (refresh) refresh(metrics_);
    return registry_->Collect();
  }

 private:
  Metrics& metrics_;
  std::shared_ptr<prometheus::Registry> registry_;
};

Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      camera_streaming_family_(BuildGauge()
                                   .Name("kestrin_camera_streaming")
                                   .Help("1 while the camera delivers pictures, else 0")
                                   .Register(*registry_)),
      camera_pictures_family_(BuildCounter()
                                  .Name("kestrin_camera_pictures_decoded_total")
                                  .Help("Pictures decoded from the camera's stream")
                                  .Register(*registry_)),
      camera_drops_family_(BuildCounter()
                               .Name("kestrin_camera_drops_total")
                               .Help("Stream restarts of the camera, by reason code")
                               .Register(*registry_)),
      camera_last_picture_family_(BuildGauge()
                                      .Name("kestrin_camera_last_picture_timestamp_seconds")
                                      .Help("Unix time the camera's picture count last grew")
                                      .Register(*registry_)),
      picture_requests_family_(BuildCounter()
                                   .Name("kestrin_picture_requests_total")
                                   .Help("Picture server requests, by kind")
                                   .Register(*registry_)),
      picture_replies_family_(BuildCounter()
                                  .Name("kestrin_picture_replies_total")
                                  .Help("Picture server replies, by kind")
                                  .Register(*registry_)),
      events_received_(BuildCounter()
                           .Name("kestrin_events_received_total")
                           .Help("Events received from the access-control server")
                           .Register(*registry_)
                           .Add({})),
      events_matched_(BuildCounter()
                          .Name("kestrin_events_matched_total")
                          .Help("Events that matched a photo rule")
                          .Register(*registry_)
                          .Add({})),
      photos_written_(BuildCounter()
                          .Name("kestrin_photos_written_total")
                          .Help("Photo files written to the archive")
                          .Register(*registry_)
                          .Add({})),
      photos_failed_(BuildCounter()
                         .Name("kestrin_photos_failed_total")
                         .Help("Photo saves that ended without a file")
                         .Register(*registry_)
                         .Add({})),
      savers_running_(BuildGauge()
                          .Name("kestrin_savers_running")
                          .Help("Photo savers waiting or writing")
                          .Register(*registry_)
                          .Add({})),
      photo_latency_(
          BuildHistogram()
              .Name("kestrin_event_photo_latency_seconds")
              .Help("Time from an event's match to its photo on disk, rule delay included")
              .Register(*registry_)
              .Add({},
                   prometheus::Histogram::BucketBoundaries{0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30})),
      web_logins_failed_(BuildCounter()
                             .Name("kestrin_web_logins_failed_total")
                             .Help("Refused logins to the web administration")
                             .Register(*registry_)
                             .Add({})),
      archive_free_bytes_(BuildGauge()
                              .Name("kestrin_archive_free_bytes")
                              .Help("Free bytes on the archive's file system")
                              .Register(*registry_)
                              .Add({})),
      archive_removed_bytes_(BuildCounter()
                                 .Name("kestrin_archive_removed_bytes_total")
                                 .Help("Bytes of photos removed by the archive cleanup")
                                 .Register(*registry_)
                                 .Add({})),
      link_logged_in_(BuildGauge()
                          .Name("kestrin_link_logged_in")
                          .Help("1 while logged in to the access-control server")
                          .Register(*registry_)
                          .Add({})),
      link_database_known_(BuildGauge()
                               .Name("kestrin_link_database_known")
                               .Help("1 while the server has named a usable database")
                               .Register(*registry_)
                               .Add({})),
      link_reconnects_(BuildCounter()
                           .Name("kestrin_link_reconnects_total")
                           .Help("Connections to the access-control server after the first")
                           .Register(*registry_)
                           .Add({})),
      collectable_(std::make_shared<Refreshing>(*this, registry_)) {
  for (int i = 0; i < kCameraCount; ++i) {
    const prometheus::Labels labels{{"camera", std::to_string(i)}};
    cameras_[i].streaming = &camera_streaming_family_.Add(labels);
    cameras_[i].pictures = &camera_pictures_family_.Add(labels);
    cameras_[i].last_picture = &camera_last_picture_family_.Add(labels);
  }
}

void Metrics::CameraPictures(int index, int64_t decoded) {
  if (index < 0 || index >= kCameraCount || decoded < 0) return;
  std::lock_guard lock(mutex_);
  Camera& camera = cameras_[index];
  const int64_t added = decoded >= camera.last_count ? decoded - camera.last_count : decoded;
  camera.last_count = decoded;
  if (added <= 0) return;
  camera.pictures->Increment(static_cast<double>(added));
  camera.last_picture->Set(UnixSeconds());
}

void Metrics::CameraDrop(int index, int code) {
  if (index < 0 || index >= kCameraCount) return;
  camera_drops_family_.Add({{"camera", std::to_string(index)}, {"code", std::to_string(code)}})
      .Increment();
  std::lock_guard lock(mutex_);
  cameras_[index].last_count = 0;
  cameras_[index].streaming->Set(0);
}

void Metrics::SetCameraStreaming(int index, bool streaming) {
  if (index < 0 || index >= kCameraCount) return;
  cameras_[index].streaming->Set(streaming ? 1 : 0);
}

void Metrics::SaverEnded(bool written, std::chrono::duration<double> latency) {
  savers_running_.Decrement();
  if (!written) {
    photos_failed_.Increment();
    return;
  }
  photos_written_.Increment();
  photo_latency_.Observe(latency.count());
  const int64_t day = LocalDayNumber();
  std::lock_guard lock(mutex_);
  if (day != today_) {
    today_ = day;
    photos_today_ = 0;
  }
  ++photos_today_;
}

int64_t Metrics::PhotosToday() const {
  const int64_t day = LocalDayNumber();
  std::lock_guard lock(mutex_);
  return day == today_ ? photos_today_ : 0;
}

void Metrics::PictureRequest(std::string_view request_kind, std::string_view reply_kind) {
  picture_requests_family_.Add({{"kind", std::string(request_kind)}}).Increment();
  picture_replies_family_.Add({{"kind", std::string(reply_kind)}}).Increment();
}

void Metrics::LinkConnecting() {
  std::lock_guard lock(mutex_);
  if (link_opened_) link_reconnects_.Increment();
  link_opened_ = true;
}

void Metrics::SetLinkState(bool logged_in, bool database_known) {
  link_logged_in_.Set(logged_in ? 1 : 0);
  link_database_known_.Set(database_known ? 1 : 0);
}

void Metrics::SetRefresh(std::function<void(Metrics&)> refresh) {
  std::lock_guard lock(mutex_);
  refresh_ = std::move(refresh);
}

}  // namespace kestrin::service
