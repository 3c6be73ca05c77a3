#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrin::capture {

// Puts the pieces of an H.264 RTP stream that libavformat's depacketizer hands
// out, read without its parser, back into whole NAL units as early as they
// are known to be whole, so that a decoder fed chunk by chunk finishes each
// picture on its last slice instead of when the next picture begins.
//
// A piece that begins with a start code begins a NAL unit (a single NAL unit
// packet, the units of an aggregation packet, or the first fragment of a
// fragmented unit, with the start code put in front); one without continues
// the unit before it (a later fragment). A unit is whole when the next unit
// begins, or earlier when a piece is shorter than a full fragment: the
// payloader cuts a large unit into pieces of one size and the last piece is
// the shorter rest. The full fragment size is learnt from the stream's later
// fragments; until one is seen, and for good once a fragment turns up after
// its unit was taken as whole (a payloader that cuts other sizes), a unit
// waits for the next one.
class NalAssembler {
 public:
  // Takes the next piece of the stream and appends to `whole` the bytes of the
  // units it completes (start codes included), in stream order.
  void Add(std::span<const uint8_t> piece, std::vector<uint8_t>& whole);

  // Whether units may still be taken as whole before the next one begins.
  bool early() const { return early_; }
  // The full fragment size learnt so far (0: none seen).
  size_t fragment_size() const { return fragment_size_; }

 private:
  void Complete(std::vector<uint8_t>& whole);

  std::vector<uint8_t> pending_;  // the unit begun and not yet known whole
  size_t fragment_size_ = 0;
  bool early_ = true;
};

}  // namespace kestrin::capture
