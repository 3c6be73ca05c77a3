#include "capture/save_service.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "capture/block_writer.h"
#include "capture/jpeg_encoder.h"
#include "capture/multi_frame.h"
#include "platform/file_registry.h"

namespace kestrin::capture {

namespace {

constexpr auto kPauseBetweenPictures = std::chrono::milliseconds(200);

size_t CoreCount() {
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

// One job on its way. Its steps run one at a time, each handed on to the next
// through a queue of the saving side, so it needs no lock of its own.
class SaveService::Saver {
 public:
  Saver(SaveJob job, Done done) : job_(std::move(job)), done_(std::move(done)) {}
  Saver(const Saver&) = delete;
  Saver& operator=(const Saver&) = delete;
  // A saver dropped before its end (the saving side is going away) ends with
  // what it has.
  ~Saver() {
    if (!done_) return;
    if (!file_) {
      End(-1);  // no file was created: none is now
    } else {
      End(file_->Close() ? written_ : -1);
    }
  }

  const SaveJob& job() const { return job_; }
  bool multi() const { return job_.framecnt > 1; }
  bool last() const { return taken_ >= job_.framecnt; }
  uint32_t width() const { return job_.width > 0 ? static_cast<uint32_t>(job_.width) : 0; }
  uint32_t height() const { return job_.height > 0 ? static_cast<uint32_t>(job_.height) : 0; }

  // Before the first picture: a second saver of the same path, in this
  // process or another, ends here without writing.
  bool Register() {
    registration_.emplace(job_.filename);
    if (registration_->acquired()) return true;
    End(-1);
    return false;
  }
  bool registered() const { return registration_.has_value(); }
  // Counted before the picture is asked for: its writing may start at once,
  // on the writer's thread, and asks last().
  void CountTaken() { ++taken_; }
  void UncountTaken() { --taken_; }

  // Whether the saver may look again for a picture its camera does not have
  // yet: within kFirstPictureWait of its first such look.
  bool MayWaitForPicture(TimerQueue::Clock::time_point now) {
    if (!first_wait_) first_wait_ = now;
    return now - *first_wait_ < kFirstPictureWait;
  }

  // Writes one picture, creating the file first. False when the saver has
  // ended.
  bool Write(const std::vector<uint8_t>& jpeg) {
    if (!Open()) return false;
    if (multi()) {
      const std::string head = MultiFrameRecordHead(static_cast<int64_t>(jpeg.size()));
      file_->Write(head.data(), head.size());
    }
    file_->Write(jpeg.data(), jpeg.size());
    if (file_->failed()) {
      Finish();
      return false;
    }
    ++written_;
    return true;
  }

  // No more pictures: the file is created if it was not yet (it stays empty),
  // closed, and the saver ends.
  void Finish() {
    if (!Open()) return;
    End(file_->Close() ? written_ : -1);
  }

 private:
  bool Open() {
    if (file_) return true;
    if (!done_) return false;
    file_ = std::make_unique<BlockWriter>();
    if (file_->Create(job_.filename)) return true;
    End(-1);
    return false;
  }

  void End(int result) {
    file_.reset();          // closed before the registration ends
    registration_.reset();  // another saver of the name may start now
    Done done = std::move(done_);
    done_ = nullptr;
    if (done) done(result);
  }

  SaveJob job_;
  Done done_;  // null once ended
  std::optional<platform::WritingFileGuard> registration_;
  std::unique_ptr<BlockWriter> file_;  // from the first write on
  int taken_ = 0;
  int written_ = 0;
  std::optional<TimerQueue::Clock::time_point> first_wait_;
};

SaveService::SaveService(size_t encoders)
    : pictures_([this](std::function<void()> encode) { encoders_.Post(std::move(encode)); }),
      encoders_(encoders > 0 ? encoders : CoreCount()) {}

SaveService::~SaveService() {
  timer_.Stop();
}

SaveService& SaveService::Instance() {
  static SaveService* service = new SaveService();
  return *service;
}

void SaveService::Submit(SaveJob job, Done done) {
  // A saver with no end to report still needs one to know it has not ended.
  if (!done) done = [](int) {};
  auto saver = std::make_shared<Saver>(std::move(job), std::move(done));
  auto take = [this, saver] { encoders_.PostUrgent([this, saver] { Take(saver); }); };
  if (saver->job().sdelay > 0) {
    timer_.At(TimerQueue::Clock::now() + std::chrono::milliseconds(saver->job().sdelay),
              std::move(take));
  } else {
    take();
  }
}

void SaveService::Take(const std::shared_ptr<Saver>& saver) {
  if (!saver->registered() && !saver->Register()) return;
  if (saver->last()) {
    WriterOf(*saver).Post([saver] { saver->Finish(); });  // no pictures asked: an empty file
    return;
  }
  saver->CountTaken();
  const SaveJob& job = saver->job();
  const SharedPictures::Asked asked = pictures_.Request(
      job.frames, saver->width(), saver->height(), ClampJpegQuality(job.quality),
      [this, saver](SharedPictures::Jpeg jpeg) {
        WriterOf(*saver).Post([this, saver, jpeg = std::move(jpeg)] { Write(saver, jpeg); });
      });
  if (asked == SharedPictures::Asked::kJpeg) return;
  const auto now = TimerQueue::Clock::now();
  if (asked == SharedPictures::Asked::kNotYet && saver->MayWaitForPicture(now)) {
    saver->UncountTaken();
    timer_.At(now + kFirstPictureRetry,
              [this, saver] { encoders_.PostUrgent([this, saver] { Take(saver); }); });
    return;
  }
  WriterOf(*saver).Post([saver] { saver->Finish(); });
}

void SaveService::Write(const std::shared_ptr<Saver>& saver, const SharedPictures::Jpeg& jpeg) {
  if (!jpeg) {
    saver->Finish();  // the encoder failed: the file keeps what it has
    return;
  }
  if (!saver->Write(*jpeg)) return;
  if (saver->last()) {
    saver->Finish();
    return;
  }
  timer_.At(TimerQueue::Clock::now() + kPauseBetweenPictures,
            [this, saver] { encoders_.PostUrgent([this, saver] { Take(saver); }); });
}

TaskPool& SaveService::WriterOf(const Saver& saver) {
  const size_t index =
      std::min<size_t>(static_cast<size_t>(std::max(saver.job().buff_idx, 0)), kWriters - 1);
  std::lock_guard lock(writers_mutex_);
  if (!writers_[index]) writers_[index] = std::make_unique<TaskPool>(1);
  return *writers_[index];
}

}  // namespace kestrin::capture
