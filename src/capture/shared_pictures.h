#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/frame_store.h"

namespace kestrin::capture {

// The pictures the savers of one process take, shared: for every camera the
// newest picture asked for is copied out of the frame store once, and encoded
// once per quality; every saver that asks for the same picture (the same
// decoded picture, read with the same size) at the same quality gets the same
// JPEG bytes, the very bytes a lone saver would have encoded.
//
// A picture stays shared until a newer one of its camera is asked for (or the
// camera is found without a picture); its copy is kept until then and until
// its encodes are done, and then handed back to the frame store's spare
// buffers. Its JPEGs stay until the last saver has written them.
class SharedPictures {
 public:
  using Jpeg = std::shared_ptr<const std::vector<uint8_t>>;
  // Gets the JPEG, or null when the encoder failed.
  using JpegReady = std::function<void(Jpeg)>;
  // Runs an encode, on some other thread.
  using Runner = std::function<void(std::function<void()>)>;

  explicit SharedPictures(Runner run_encode);
  SharedPictures(const SharedPictures&) = delete;
  SharedPictures& operator=(const SharedPictures&) = delete;

  // What Request did.
  enum class Asked {
    kJpeg,     // `ready` will get the JPEG
    kMissing,  // the store holds no such picture (the camera was dropped or resized)
    kNotYet,   // the camera's stream has just connected and delivered no picture yet
  };

  // Takes `store`'s current picture as a width x height frame (as
  // FrameStore::TakeFrame would) and asks for its JPEG at `quality`. `ready`
  // is called once: at once on this thread when that JPEG exists, otherwise
  // on the encoding thread; never unless kJpeg is returned.
  Asked Request(const std::shared_ptr<FrameStore>& store, uint32_t width, uint32_t height,
                int quality, JpegReady ready);

  // Pictures copied out of frame stores and encodes run so far.
  uint64_t copies() const { return copies_; }
  uint64_t encodes() const { return encodes_; }

 private:
  struct Encode {
    int quality = 0;
    bool done = false;
    Jpeg jpeg;
    std::vector<JpegReady> waiting;
  };
  // Guarded by its slot's mutex, but for `frame`, which is set when the
  // picture is made, read by its encodes and released only once it is
  // superseded and no encode runs.
  struct Picture {
    PictureId id;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> frame;  // the copy
    bool superseded = false;     // no longer the slot's newest: no new encodes
    int encoding = 0;            // encodes not yet done
    std::vector<Encode> encodes;
  };
  // One camera's frame store and its newest picture. The mutex is held while
  // a picture is copied, so that savers of one camera asking at once wait for
  // that copy and share it.
  struct Slot {
    std::mutex mutex;
    std::weak_ptr<FrameStore> store;
    std::shared_ptr<Picture> latest;  // guarded by mutex
  };

  std::shared_ptr<Slot> SlotOf(const std::shared_ptr<FrameStore>& store);
  void RunEncode(const std::shared_ptr<Slot>& slot, const std::shared_ptr<Picture>& picture,
                 int quality);

  Runner run_encode_;
  std::mutex slots_mutex_;
  std::map<const FrameStore*, std::shared_ptr<Slot>> slots_;  // guarded by slots_mutex_
  std::atomic<uint64_t> copies_{0};
  std::atomic<uint64_t> encodes_{0};
};

}  // namespace kestrin::capture
