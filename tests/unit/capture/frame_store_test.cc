#include "capture/frame_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kestrin::capture {
namespace {

// A frame whose pixel i is (blue, green, red, unused) = (i, i + 100, i + 200, 0xEE).
std::vector<uint8_t> NumberedFrame(uint32_t width, uint32_t height) {
  std::vector<uint8_t> frame;
  for (uint32_t i = 0; i < width * height; ++i) {
    frame.insert(frame.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(i + 100),
                               static_cast<uint8_t>(i + 200), 0xEE});
  }
  return frame;
}

TEST(FrameStoreTest, PictureTakesBlueGreenRedOfEachPixelRowByRow) {
  FrameStore store;
  store.buffer() = NumberedFrame(3, 2);
  std::vector<uint8_t> picture;
  ASSERT_TRUE(store.CopyPicture(3, 2, picture));
  std::vector<uint8_t> expected;
  for (uint8_t i = 0; i < 6; ++i) {
    expected.insert(expected.end(),
                    {i, static_cast<uint8_t>(i + 100), static_cast<uint8_t>(i + 200)});
  }
  EXPECT_EQ(picture, expected);

  std::vector<uint8_t> frame;
  ASSERT_TRUE(store.CopyFrame(3, 2, frame));
  EXPECT_EQ(frame, store.buffer());
}

TEST(FrameStoreTest, CopiesOnlyWhenTheBufferHoldsTheWholePicture) {
  struct Case {
    size_t buffer_bytes;
    uint32_t width;
    uint32_t height;
    bool copied;
  };
  const Case cases[] = {
      {4 * 4 * 3, 4, 3, true},       // exactly the size
      {8 * 4 * 3, 4, 3, true},       // reconnected larger: read with the old width
      {4 * 4 * 3 - 1, 4, 3, false},  // one byte short
      {2 * 4 * 2, 4, 3, false},      // reconnected smaller
      {0, 4, 3, false},              // dropped: buffer released
      {4 * 4 * 3, 0, 3, false},      // no size
      {4 * 4 * 3, 4, 0, false},
  };
  for (const Case& c : cases) {
    FrameStore store;
    store.buffer().assign(c.buffer_bytes, 7);
    std::vector<uint8_t> out;
    EXPECT_EQ(store.CopyPicture(c.width, c.height, out), c.copied) << c.buffer_bytes;
    EXPECT_EQ(store.CopyFrame(c.width, c.height, out), c.copied) << c.buffer_bytes;
    if (c.copied) {
      EXPECT_EQ(out.size(), size_t{c.width} * c.height * 4);
    }
  }
}

TEST(FrameStoreTest, CopyWaitsForTheDecoderToReleaseTheFrameMutex) {
  FrameStore store;
  store.buffer().assign(16, 0);
  store.mutex().lock();  // the decoder is writing a frame
  std::thread reader([&] {
    std::vector<uint8_t> frame;
    ASSERT_TRUE(store.CopyFrame(2, 2, frame));
    EXPECT_EQ(frame[0], 9);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  store.buffer()[0] = 9;
  // The frame is complete: libVLC may report that on another thread.
  std::thread([&] { store.mutex().unlock(); }).join();
  reader.join();
}

TEST(FrameStoreTest, TakeCopiesOnlyAPictureTheReaderDoesNotKeep) {
  struct Case {
    const char* what;
    void (*camera)(FrameStore&);  // what the camera did since the kept copy
    FrameTake take;
  };
  const Case cases[] = {
      {"nothing", [](FrameStore&) {}, FrameTake::kUnchanged},
      {"decoded the next picture", [](FrameStore& s) { ++s.decoded_frames(); }, FrameTake::kCopied},
      {"reconnected: counting from 1 again",
       [](FrameStore& s) {
         ++s.streams();
         s.decoded_frames() = 1;
       },
       FrameTake::kCopied},
      {"reconnected: no picture yet",
       [](FrameStore& s) {
         ++s.streams();
         s.decoded_frames() = 0;
       },
       FrameTake::kNotYet},
      {"dropped", [](FrameStore& s) { s.buffer().clear(); }, FrameTake::kMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameStore store;
    store.buffer() = NumberedFrame(3, 2);
    store.decoded_frames() = 1;
    PictureId kept;
    std::vector<uint8_t> frame;
    ASSERT_EQ(store.TakeFrame(3, 2, std::nullopt, kept, frame), FrameTake::kCopied);
    EXPECT_EQ(frame, store.buffer());
    c.camera(store);
    PictureId id;
    std::vector<uint8_t> again;
    EXPECT_EQ(store.TakeFrame(3, 2, kept, id, again), c.take);
    if (c.take == FrameTake::kCopied) {
      EXPECT_FALSE(id == kept);
      EXPECT_EQ(again, store.buffer());
    }
    if (c.take == FrameTake::kUnchanged) {
      EXPECT_TRUE(id == kept);
    }
  }
}

TEST(FrameStoreTest, CopyBuffersAreReusedUpToTheLimitAndDroppedWithTheStream) {
  FrameStore store;
  EXPECT_EQ(store.TakeCopyBuffer().capacity(), 0u);

  // More buffers come back than are kept; the kept ones come out again as they were.
  std::vector<const uint8_t*> returned;
  for (size_t i = 0; i < FrameStore::kSpareCopies + 2; ++i) {
    std::vector<uint8_t> buffer(1024 * (i + 1));
    returned.push_back(buffer.data());
    store.ReturnCopyBuffer(std::move(buffer));
  }
  store.ReturnCopyBuffer({});  // an empty vector is not kept
  std::vector<const uint8_t*> taken;
  for (std::vector<uint8_t> b = store.TakeCopyBuffer(); b.capacity() > 0;
       b = store.TakeCopyBuffer()) {
    taken.push_back(b.data());
  }
  ASSERT_EQ(taken.size(), FrameStore::kSpareCopies);
  for (const uint8_t* data : taken) {
    EXPECT_NE(std::find(returned.begin(), returned.end(), data), returned.end());
  }

  store.ReturnCopyBuffer(std::vector<uint8_t>(64));
  store.DropCopyBuffers();
  EXPECT_EQ(store.TakeCopyBuffer().capacity(), 0u);
}

}  // namespace
}  // namespace kestrin::capture
