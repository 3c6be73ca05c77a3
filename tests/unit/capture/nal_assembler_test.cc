// How the pieces of an H.264 RTP stream are put back into whole NAL units.

#include "capture/nal_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrin::capture {
namespace {

using Bytes = std::vector<uint8_t>;

// A piece that begins a unit: the start code, header byte `header` and
// `size` - 5 more bytes of `fill`.
Bytes Begin(uint8_t header, size_t size, uint8_t fill = 0x11) {
  Bytes piece = {0, 0, 0, 1, header};
  piece.resize(size, fill);
  return piece;
}

// A later fragment of `size` bytes of `fill`.
Bytes More(size_t size, uint8_t fill = 0x22) {
  return Bytes(size, fill);
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// Feeds `pieces` one by one; what each Add completed.
std::vector<Bytes> Feed(NalAssembler& units, const std::vector<Bytes>& pieces) {
  std::vector<Bytes> out;
  for (const Bytes& piece : pieces) {
    Bytes whole;
    units.Add(piece, whole);
    out.push_back(whole);
  }
  return out;
}

TEST(NalAssemblerTest, UnitsWaitForTheNextUntilAFullFragmentSizeIsKnown) {
  NalAssembler units;
  const Bytes sps = Begin(0x67, 12), pps = Begin(0x68, 8), slice = Begin(0x65, 300);
  const Bytes next = Begin(0x61, 40);
  EXPECT_EQ(Feed(units, {sps, pps, slice, next}), (std::vector<Bytes>{{}, sps, pps, slice}));
  EXPECT_EQ(units.fragment_size(), 0u);
}

TEST(NalAssemblerTest, AFragmentedUnitIsWholeOnItsShortLastFragment) {
  NalAssembler units;
  const Bytes first = Begin(0x65, 1391), full = More(1386), rest = More(500);
  const std::vector<Bytes> out = Feed(units, {first, full, full, rest});
  EXPECT_EQ(out, (std::vector<Bytes>{{}, {}, {}, Join({first, full, full, rest})}));
  EXPECT_EQ(units.fragment_size(), 1386u);

  // From now on short units are whole at once, full-size ones wait.
  const Bytes slice = Begin(0x41, 200), big = Begin(0x41, 1391), aud = Begin(0x09, 6);
  EXPECT_EQ(Feed(units, {slice, big, More(1386), More(10), aud}),
            (std::vector<Bytes>{slice, {}, {}, Join({big, More(1386), More(10)}), aud}));
  // A single-unit piece as long as a first fragment cannot be told from one:
  // it waits for the next unit.
  const Bytes single = Begin(0x41, 1392);
  EXPECT_EQ(Feed(units, {single, aud}), (std::vector<Bytes>{{}, Join({single, aud})}));
  EXPECT_TRUE(units.early());
}

TEST(NalAssemblerTest, ALastFragmentOfFullSizeWaitsForTheNextUnit) {
  NalAssembler units;
  Feed(units, {Begin(0x65, 1391), More(1386), More(100)});
  const Bytes first = Begin(0x65, 1391), next = Begin(0x41, 50);
  EXPECT_EQ(Feed(units, {first, More(1386), next}),
            (std::vector<Bytes>{{}, {}, Join({first, More(1386), next})}));
}

TEST(NalAssemblerTest, FragmentsOfOtherSizesEndEarlyUnitsForGood) {
  NalAssembler units;
  Feed(units, {Begin(0x65, 1391), More(1386), More(100)});
  // A payloader that also cuts smaller fragments: the unit is taken as whole
  // too soon once, its later fragment is dropped, and then units wait.
  const Bytes first = Begin(0x65, 800), more = More(795);
  const std::vector<Bytes> out = Feed(units, {first, more, More(300)});
  EXPECT_EQ(out, (std::vector<Bytes>{first, {}, {}}));
  EXPECT_FALSE(units.early());
  const Bytes slice = Begin(0x41, 200), again = Begin(0x41, 60);
  EXPECT_EQ(Feed(units, {slice, More(100), again}),
            (std::vector<Bytes>{{}, {}, Join({slice, More(100)})}));
}

TEST(NalAssemblerTest, AFragmentWithoutItsBeginningIsDropped) {
  NalAssembler units;
  EXPECT_EQ(Feed(units, {More(1386), Begin(0x67, 12)}), (std::vector<Bytes>{{}, {}}));
  EXPECT_FALSE(units.early());
}

}  // namespace
}  // namespace kestrin::capture
