#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrin::capture {

// Judges how a camera's pictures arrive over one connection: a camera that
// sends several pictures at once and then none for a while, or leaves long
// gaps, leaves the frame store unchanged meanwhile, so a photo may show an
// older moment than the frame rate suggests.
//
// Fed with the arrival time of every new picture. Arrivals during the first
// kSettle of a connection are ignored (stream start-up buffers come at once);
// the kWindow after that is judged. Not thread-safe: the frame store's mutex
// guards the store's instance.
class DeliveryPattern {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kSettle = std::chrono::seconds(3);
  static constexpr auto kWindow = std::chrono::seconds(10);
  // Pictures the window must hold to be judged.
  static constexpr size_t kMinPictures = 10;

  // Forgets everything: a new connection begins.
  void Reset() { *this = DeliveryPattern(); }

  // A new picture arrived at `at` (times never decrease).
  void Add(Clock::time_point at);

  // Once the window is over: a sentence describing a bad pattern, such as
  // "pictures arrive in bursts of 4, a burst every 400 ms", and nothing for
  // an even one. Answers at most once per connection; nothing before the
  // window is over.
  std::optional<std::string> TakeVerdict();

 private:
  std::optional<std::string> Judge() const;

  std::optional<Clock::time_point> first_;
  std::vector<Clock::time_point> arrivals_;  // inside the window
  bool complete_ = false;                    // the window is over
  bool answered_ = false;
};

}  // namespace kestrin::capture
