#include "service/metrics.h"

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include <sstream>

namespace kestrin::service {
namespace {

std::string Scrape(const Metrics& metrics) {
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, metrics.collectable()->Collect());
  return out.str();
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(MetricsTest, DecodedPicturesAddUpAcrossStreamRestarts) {
  Metrics metrics;
  // What the worker publishes: counts since activation, restarting after a
  // drop or when a new stream starts lower than the last count.
  for (int64_t count : {5, 12, 12, 20}) metrics.CameraPictures(2, count);
  metrics.CameraDrop(2, 4);
  for (int64_t count : {3, 7}) metrics.CameraPictures(2, count);
  metrics.CameraPictures(2, 2);    // a new stream, no drop seen: 2 more
  metrics.CameraPictures(9, 100);  // no such camera
  metrics.CameraPictures(-1, 100);
  const std::string text = Scrape(metrics);
  EXPECT_TRUE(Has(text, "kestrin_camera_pictures_decoded_total{camera=\"2\"} 29")) << text;
  EXPECT_TRUE(Has(text, "kestrin_camera_pictures_decoded_total{camera=\"0\"} 0")) << text;
  EXPECT_TRUE(Has(text, "kestrin_camera_drops_total{camera=\"2\",code=\"4\"} 1")) << text;
  EXPECT_EQ(text.find("camera=\"9\""), std::string::npos);
}

TEST(MetricsTest, SaversCountWrittenAndFailedPhotos) {
  Metrics metrics;
  for (int i = 0; i < 3; ++i) metrics.SaverStarted();
  metrics.SaverEnded(true, std::chrono::milliseconds(300));
  metrics.SaverEnded(false, std::chrono::milliseconds(0));
  const std::string text = Scrape(metrics);
  EXPECT_TRUE(Has(text, "kestrin_photos_written_total 1")) << text;
  EXPECT_TRUE(Has(text, "kestrin_photos_failed_total 1")) << text;
  EXPECT_TRUE(Has(text, "kestrin_savers_running 1")) << text;
  // Only written photos have a latency.
  EXPECT_TRUE(Has(text, "kestrin_event_photo_latency_seconds_count 1")) << text;
  EXPECT_TRUE(Has(text, "kestrin_event_photo_latency_seconds_bucket{le=\"0.25\"} 0")) << text;
  EXPECT_TRUE(Has(text, "kestrin_event_photo_latency_seconds_bucket{le=\"0.5\"} 1")) << text;
  EXPECT_EQ(metrics.PhotosToday(), 1);
}

TEST(MetricsTest, RefreshRunsBeforeEveryScrapeAndReconnectsSkipTheFirstConnection) {
  Metrics metrics;
  int refreshes = 0;
  metrics.SetRefresh([&](Metrics& m) {
    ++refreshes;
    m.SetLinkState(true, refreshes > 1);
  });
  for (int i = 0; i < 3; ++i) metrics.LinkConnecting();
  EXPECT_TRUE(Has(Scrape(metrics), "kestrin_link_database_known 0"));
  const std::string text = Scrape(metrics);
  EXPECT_TRUE(Has(text, "kestrin_link_database_known 1")) << text;
  EXPECT_TRUE(Has(text, "kestrin_link_logged_in 1")) << text;
  EXPECT_TRUE(Has(text, "kestrin_link_reconnects_total 2")) << text;
}

}  // namespace
}  // namespace kestrin::service
