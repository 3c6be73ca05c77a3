#include "capture/nal_assembler.h"

#include <algorithm>

namespace kestrin::capture {

namespace {

// The depacketizer's start code, and what it puts in front of the first
// fragment of a unit besides: the unit's one-byte header, rebuilt from the
// fragment's two header bytes.
constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
constexpr size_t kFirstFragmentExtra = sizeof kStartCode + 1;

bool BeginsUnit(std::span<const uint8_t> piece) {
  return piece.size() >= sizeof kStartCode && std::equal(kStartCode, kStartCode + 4, piece.begin());
}

}  // namespace

void NalAssembler::Complete(std::vector<uint8_t>& whole) {
  whole.insert(whole.end(), pending_.begin(), pending_.end());
  pending_.clear();
}

void NalAssembler::Add(std::span<const uint8_t> piece, std::vector<uint8_t>& whole) {
  if (piece.empty()) return;
  bool done;
  if (BeginsUnit(piece)) {
    Complete(whole);
    pending_.assign(piece.begin(), piece.end());
    // Shorter than a first fragment of full size: the whole unit.
    done = fragment_size_ != 0 && piece.size() < fragment_size_ + kFirstFragmentExtra;
  } else if (pending_.empty()) {
    // A fragment of a unit already taken as whole (or of one whose beginning
    // was lost): the payloader cuts fragments of other sizes. The fragment
    // cannot be decoded alone.
    early_ = false;
    return;
  } else {
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    done = fragment_size_ != 0 && piece.size() < fragment_size_;
    fragment_size_ = std::max(fragment_size_, piece.size());
  }
  if (done && early_) Complete(whole);
}

}  // namespace kestrin::capture
