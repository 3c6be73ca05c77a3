#include "capture/frame_store.h"

#include <cstring>

namespace kestrin::capture {

void FrameMutex::lock() {
  std::unique_lock guard(mutex_);
  released_.wait(guard, [this] { return !locked_; });
  locked_ = true;
}

bool FrameMutex::try_lock() {
  std::lock_guard guard(mutex_);
  if (locked_) return false;
  locked_ = true;
  return true;
}

void FrameMutex::unlock() {
  {
    std::lock_guard guard(mutex_);
    locked_ = false;
  }
  released_.notify_one();
}

namespace {

// Bytes of a width x height frame, or 0 when a size is zero.
size_t FrameBytes(uint32_t width, uint32_t height) {
  return static_cast<size_t>(width) * height * kFrameBytesPerPixel;
}

}  // namespace

void ConvertFrameToPicture(const uint8_t* frame, uint32_t width, uint32_t height,
                           std::vector<uint8_t>& picture) {
  const size_t pixels = static_cast<size_t>(width) * height;
  picture.resize(pixels * kPictureBytesPerPixel);
  uint8_t* out = picture.data();
  for (size_t i = 0; i < pixels; ++i) {
    out[0] = frame[0];
    out[1] = frame[1];
    out[2] = frame[2];
    out += kPictureBytesPerPixel;
    frame += kFrameBytesPerPixel;
  }
}

bool FrameStore::CopyPicture(uint32_t width, uint32_t height, std::vector<uint8_t>& picture) const {
  const size_t bytes = FrameBytes(width, height);
  if (bytes == 0) return false;
  picture.reserve(bytes / kFrameBytesPerPixel * kPictureBytesPerPixel);
  std::lock_guard lock(mutex_);
  if (buffer_.size() < bytes) return false;
  ConvertFrameToPicture(buffer_.data(), width, height, picture);
  return true;
}

bool FrameStore::CopyFrame(uint32_t width, uint32_t height, std::vector<uint8_t>& frame) const {
  const size_t bytes = FrameBytes(width, height);
  if (bytes == 0) return false;
  // Allocate outside the lock so the decoder waits for the copy alone.
  frame.resize(bytes);
  std::lock_guard lock(mutex_);
  if (buffer_.size() < bytes) return false;
  std::memcpy(frame.data(), buffer_.data(), bytes);
  return true;
}

FrameTake FrameStore::TakeFrame(uint32_t width, uint32_t height,
                                const std::optional<PictureId>& kept, PictureId& id,
                                std::vector<uint8_t>& frame) const {
  const size_t bytes = FrameBytes(width, height);
  if (bytes == 0) return FrameTake::kMissing;
  if (kept) {
    std::lock_guard lock(mutex_);
    if (buffer_.size() < bytes) return FrameTake::kMissing;
    if (decoded_frames_ == 0) return FrameTake::kNotYet;
    id = PictureId{streams_, decoded_frames_};
    if (id == *kept) return FrameTake::kUnchanged;
  }
  // Allocate outside the lock so the decoder waits for the copy alone. The
  // picture may change meanwhile: the copy names the one it took.
  frame.resize(bytes);
  std::lock_guard lock(mutex_);
  if (buffer_.size() < bytes) return FrameTake::kMissing;
  if (decoded_frames_ == 0) return FrameTake::kNotYet;
  id = PictureId{streams_, decoded_frames_};
  std::memcpy(frame.data(), buffer_.data(), bytes);
  return FrameTake::kCopied;
}

std::vector<uint8_t> FrameStore::TakeCopyBuffer() {
  std::lock_guard lock(spares_mutex_);
  if (spares_.empty()) return {};
  std::vector<uint8_t> buffer = std::move(spares_.back());
  spares_.pop_back();
  return buffer;
}

void FrameStore::ReturnCopyBuffer(std::vector<uint8_t> buffer) {
  if (buffer.capacity() == 0) return;
  std::lock_guard lock(spares_mutex_);
  if (spares_.size() < kSpareCopies) spares_.push_back(std::move(buffer));
  // Otherwise `buffer` is freed on return, outside the lock.
}

void FrameStore::DropCopyBuffers() {
  std::vector<std::vector<uint8_t>> dropped;
  std::lock_guard lock(spares_mutex_);
  dropped.swap(spares_);
}

}  // namespace kestrin::capture
