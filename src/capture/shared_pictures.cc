#include "capture/shared_pictures.h"

#include <algorithm>
#include <optional>

#include "capture/jpeg_encoder.h"

namespace kestrin::capture {

SharedPictures::SharedPictures(Runner run_encode) : run_encode_(std::move(run_encode)) {}

std::shared_ptr<SharedPictures::Slot> SharedPictures::SlotOf(
    const std::shared_ptr<FrameStore>& store) {
  std::lock_guard lock(slots_mutex_);
  auto it = slots_.find(store.get());
  // A slot whose store has gone may be found at a new store's address.
  if (it != slots_.end() && it->second->store.lock() == store) return it->second;
  std::erase_if(slots_, [](const auto& entry) { return entry.second->store.expired(); });
  auto slot = std::make_shared<Slot>();
  slot->store = store;
  slots_[store.get()] = slot;
  return slot;
}

SharedPictures::Asked SharedPictures::Request(const std::shared_ptr<FrameStore>& store,
                                              uint32_t width, uint32_t height, int quality,
                                              JpegReady ready) {
  if (!store) return Asked::kMissing;
  const std::shared_ptr<Slot> slot = SlotOf(store);
  std::unique_lock lock(slot->mutex);
  const std::shared_ptr<Picture> latest = slot->latest;
  std::optional<PictureId> kept;
  if (latest && latest->width == width && latest->height == height) kept = latest->id;

  std::vector<uint8_t> buffer = store->TakeCopyBuffer();
  PictureId id;
  const FrameTake take = store->TakeFrame(width, height, kept, id, buffer);
  std::shared_ptr<Picture> picture;
  if (take == FrameTake::kUnchanged) {
    picture = latest;
  } else {
    // A newer picture, or none (the camera was dropped, resized or reconnected): the newest
    // is no longer shared, and its copy goes back once no encode needs it.
    if (latest) {
      latest->superseded = true;
      if (latest->encoding == 0) store->ReturnCopyBuffer(std::move(latest->frame));
    }
    slot->latest = nullptr;
    if (take == FrameTake::kCopied) {
      ++copies_;
      picture = std::make_shared<Picture>();
      picture->id = id;
      picture->width = width;
      picture->height = height;
      picture->frame.swap(buffer);
      slot->latest = picture;
    }
  }
  store->ReturnCopyBuffer(std::move(buffer));  // when it was not used
  if (!picture) return take == FrameTake::kNotYet ? Asked::kNotYet : Asked::kMissing;

  auto encode = std::find_if(picture->encodes.begin(), picture->encodes.end(),
                             [quality](const Encode& e) { return e.quality == quality; });
  if (encode != picture->encodes.end()) {
    if (!encode->done) {
      encode->waiting.push_back(std::move(ready));
      return Asked::kJpeg;
    }
    Jpeg jpeg = encode->jpeg;
    lock.unlock();
    ready(std::move(jpeg));
    return Asked::kJpeg;
  }
  Encode& added = picture->encodes.emplace_back();
  added.quality = quality;
  added.waiting.push_back(std::move(ready));
  ++picture->encoding;
  ++encodes_;
  lock.unlock();
  run_encode_([this, slot, picture, quality] { RunEncode(slot, picture, quality); });
  return Asked::kJpeg;
}

void SharedPictures::RunEncode(const std::shared_ptr<Slot>& slot,
                               const std::shared_ptr<Picture>& picture, int quality) {
  std::vector<uint8_t> out;
  const bool ok = EncodeJpeg(picture->frame.data(), PixelLayout::kBgrx, picture->width,
                             picture->height, quality, out);
  const Jpeg jpeg = ok ? std::make_shared<const std::vector<uint8_t>>(std::move(out)) : nullptr;
  std::vector<JpegReady> waiting;
  std::vector<uint8_t> spare;
  {
    std::lock_guard lock(slot->mutex);
    for (Encode& encode : picture->encodes) {
      if (encode.quality != quality) continue;
      encode.done = true;
      encode.jpeg = jpeg;
      waiting.swap(encode.waiting);
    }
    if (--picture->encoding == 0 && picture->superseded) spare.swap(picture->frame);
  }
  if (const std::shared_ptr<FrameStore> store = slot->store.lock()) {
    store->ReturnCopyBuffer(std::move(spare));
  }
  for (JpegReady& ready : waiting) ready(jpeg);
}

}  // namespace kestrin::capture
