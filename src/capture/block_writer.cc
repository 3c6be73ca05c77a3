#include "capture/block_writer.h"

#include <algorithm>
#include <cstring>

namespace kestrin::capture {

bool BlockWriter::Create(const std::string& path) {
  return file_.Create(path);
}

void BlockWriter::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0 && file_.is_open() && !failed_) {
    const size_t take = std::min(size, kBlock - used_);
    std::memcpy(block_ + used_, bytes, take);
    used_ += take;
    bytes += take;
    size -= take;
    if (used_ == kBlock) Flush();
  }
}

bool BlockWriter::Close() {
  if (!file_.is_open()) return !failed_;
  Flush();
  // Removed while still locked and registered, so no other saver's file of
  // the same name can be hit.
  file_.Close(/*remove=*/failed_);
  return !failed_;
}

void BlockWriter::Flush() {
  if (used_ > 0 && !failed_ && !file_.Write(block_, used_)) failed_ = true;
  used_ = 0;
}

}  // namespace kestrin::capture
