#include "capture/delivery_pattern.h"

#include <algorithm>

#include <fmt/format.h>

namespace kestrin::capture {

namespace {

// Arrivals closer together than this share of the mean interval belong to
// one burst.
constexpr double kBurstShare = 0.25;
// A mean burst of at least this many pictures is reported.
constexpr double kBadBurst = 1.75;
// A gap of this many mean intervals, and at least kMinGapMs, is reported.
constexpr double kBadGapShare = 3.0;
constexpr double kMinGapMs = 250.0;
// Arrivals kept at most (a window of more is judged on these).
constexpr size_t kMaxArrivals = 4096;

double Ms(DeliveryPattern::Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

void DeliveryPattern::Add(Clock::time_point at) {
  if (complete_) return;
  if (!first_) first_ = at;
  const Clock::time_point start = *first_ + kSettle;
  if (at < start) return;
  if (at >= start + kWindow || arrivals_.size() >= kMaxArrivals) {
    complete_ = true;
    return;
  }
  arrivals_.push_back(at);
}

std::optional<std::string> DeliveryPattern::TakeVerdict() {
  if (!complete_ || answered_) return std::nullopt;
  answered_ = true;
  return Judge();
}

std::optional<std::string> DeliveryPattern::Judge() const {
  if (arrivals_.size() < kMinPictures) return std::nullopt;
  const double span = Ms(arrivals_.back() - arrivals_.front());
  const double mean = span / static_cast<double>(arrivals_.size() - 1);
  if (mean <= 0) return std::nullopt;
  size_t bursts = 1;
  double longest = 0;
  for (size_t i = 1; i < arrivals_.size(); ++i) {
    const double gap = Ms(arrivals_[i] - arrivals_[i - 1]);
    if (gap >= kBurstShare * mean) ++bursts;
    longest = std::max(longest, gap);
  }
  const double burst = static_cast<double>(arrivals_.size()) / static_cast<double>(bursts);
  if (burst >= kBadBurst) {
    return fmt::format("pictures arrive in bursts of {:.0f}, a burst every {:.0f} ms", burst,
                       span / static_cast<double>(std::max<size_t>(bursts - 1, 1)));
  }
  if (longest >= kBadGapShare * mean && longest >= kMinGapMs) {
    return fmt::format(
        "pictures arrive unevenly, gaps of up to {:.0f} ms against {:.0f} ms on "
        "average",
        longest, mean);
  }
  return std::nullopt;
}

}  // namespace kestrin::capture
