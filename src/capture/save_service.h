#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "capture/save_thread.h"
#include "capture/shared_pictures.h"
#include "capture/task_pool.h"
#include "capture/timer_queue.h"

namespace kestrin::capture {

// The saving side: runs every frame saver of the process on a few threads,
// however many events come, and shares pictures between savers.
//
// Each job gives exactly the file TSaveThread::Run would write for it (same
// name, format and bytes, the same failures), and with the same timing: the
// first picture is taken `sdelay` ms after Submit, each further one 200 ms
// after the previous one was written. What differs is where the work runs:
//   - a timer thread waits the delays and the 200 ms steps;
//   - the encoder pool (one thread per core) takes the pictures out of the
//     frame stores, ahead of anything else, and encodes them; savers asking
//     for the same camera's picture at the same moment share one copy and one
//     encode per quality (SharedPictures);
//   - each camera (buff_idx) has a writer thread of its own that creates,
//     writes and closes that camera's files, so a slow disk write holds up
//     neither the encoders nor the other cameras' photos.
class SaveService {
 public:
  // The number of pictures written, or -1 when the file could not be created
  // or written whole, as TSaveThread::Run returns it.
  using Done = std::function<void(int pictures)>;

  // `encoders` threads encode (0: one per core).
  explicit SaveService(size_t encoders = 0);
  SaveService(const SaveService&) = delete;
  SaveService& operator=(const SaveService&) = delete;
  // Ends every saver: one still waiting for its delay or its next picture ends
  // now, its file closed with the pictures written so far (never created when
  // it had none); pictures being encoded or written are finished first. Each
  // saver's `done` is called.
  ~SaveService();

  // The process's saving side, used by TSaveThread::Start. Never destroyed:
  // like a saver thread, it is not waited for when the service stops.
  static SaveService& Instance();

  // Hands the job over and returns at once; `done` (optional) is called on
  // one of the saving side's threads when the saver has ended.
  void Submit(SaveJob job, Done done = nullptr);

  // Pictures copied out of frame stores and encoded so far.
  uint64_t copies() const { return pictures_.copies(); }
  uint64_t encodes() const { return pictures_.encodes(); }

  // One writer per camera worker; jobs of other indices share the last.
  static constexpr size_t kWriters = 9;

 private:
  class Saver;

  void Take(const std::shared_ptr<Saver>& saver);
  void Write(const std::shared_ptr<Saver>& saver, const SharedPictures::Jpeg& jpeg);
  TaskPool& WriterOf(const Saver& saver);

  // The destructor stops the timer first (no more pictures come due); then
  // the encoders and after them the writers finish what they were given.
  TimerQueue timer_;
  std::mutex writers_mutex_;
  std::array<std::unique_ptr<TaskPool>, kWriters> writers_;  // made on first use
  SharedPictures pictures_;
  TaskPool encoders_;
};

}  // namespace kestrin::capture
