#include "capture/save_thread.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/block_writer.h"
#include "capture/jpeg_encoder.h"
#include "capture/multi_frame.h"
#include "capture/save_service.h"
#include "platform/file_registry.h"

namespace kestrin::capture {

namespace {

constexpr auto kPauseBetweenPictures = std::chrono::milliseconds(200);

}  // namespace

void TSaveThread::Start(SaveJob job) {
  SaveService::Instance().Submit(std::move(job));
}

int TSaveThread::Run(const SaveJob& job) {
  if (job.sdelay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(job.sdelay));

  // A second saver of the same path, in this process or another, ends here.
  platform::WritingFileGuard registration(job.filename);
  if (!registration.acquired()) return -1;
  BlockWriter file;
  if (!file.Create(job.filename)) return -1;

  const bool multi = job.framecnt > 1;
  const uint32_t width = job.width > 0 ? static_cast<uint32_t>(job.width) : 0;
  const uint32_t height = job.height > 0 ? static_cast<uint32_t>(job.height) : 0;
  std::vector<uint8_t> frame = job.frames ? job.frames->TakeCopyBuffer() : std::vector<uint8_t>();
  std::vector<uint8_t> jpeg;
  int written = 0;
  auto waited = std::chrono::milliseconds(0);
  for (int i = 1; i <= job.framecnt; ++i) {
    if (!job.frames) break;
    PictureId id;
    FrameTake take = job.frames->TakeFrame(width, height, std::nullopt, id, frame);
    while (take == FrameTake::kNotYet && waited < kFirstPictureWait) {
      std::this_thread::sleep_for(kFirstPictureRetry);
      waited += kFirstPictureRetry;
      take = job.frames->TakeFrame(width, height, std::nullopt, id, frame);
    }
    if (take != FrameTake::kCopied) break;
    if (!EncodeJpeg(frame.data(), PixelLayout::kBgrx, width, height, job.quality, jpeg)) break;
    if (multi) {
      const std::string head = MultiFrameRecordHead(static_cast<int64_t>(jpeg.size()));
      file.Write(head.data(), head.size());
    }
    file.Write(jpeg.data(), jpeg.size());
    if (file.failed()) break;
    ++written;
    if (i < job.framecnt) std::this_thread::sleep_for(kPauseBetweenPictures);
  }
  if (job.frames) job.frames->ReturnCopyBuffer(std::move(frame));
  if (!file.Close()) return -1;
  return written;
}

}  // namespace kestrin::capture
