#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/archive_file.h"

namespace kestrin::capture {

// A photo file being written: created for writing, replacing any file of its
// name, held with an exclusive advisory lock, written in 4096-byte blocks. A
// file that cannot be written whole (a full disk) is removed when closed: a
// reader must never take a torn picture for a photo.
class BlockWriter {
 public:
  BlockWriter() = default;
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  ~BlockWriter() { Close(); }

  // False when the file cannot be created or another process holds it. A
  // symbolic link of the name is replaced, never written through; anything
  // else that is no regular file (a folder, a pipe) is left alone.
  bool Create(const std::string& path);

  // Buffers `size` bytes, passing on every full block. After a write error
  // the rest of the writes are no-ops.
  void Write(const void* data, size_t size);

  // Writes the rest and closes the file; removes it when a write failed.
  // False in that case.
  bool Close();

  bool failed() const { return failed_; }

  static constexpr size_t kBlock = 4096;

 private:
  void Flush();

  platform::ArchiveWriteFile file_;
  bool failed_ = false;
  uint8_t block_[kBlock];
  size_t used_ = 0;
};

}  // namespace kestrin::capture
