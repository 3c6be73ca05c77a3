#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/main_loop.h"

namespace kestrin::link {

// Runs the server link's database work away from the main loop, so that a
// database server that is slow, unreachable or silent never holds up the
// Watchdog or the session handlers.
//
// A job has a kind; while a job of one kind is queued or running, another of
// the same kind is refused, so a stuck database never piles work up. Jobs run
// one after the other. Each job's work runs on a thread of its own and gets
// `limit` to finish; its result, a call, is then run on the main loop. When
// the limit passes first, `on_timeout` runs on the main loop instead and the
// work is left to end alone (it must own all it touches and must not throw).
class DatabaseWorker {
 public:
  // The work: runs off the main loop, returns what to run on it.
  using Work = std::function<std::function<void()>()>;

  DatabaseWorker(platform::MainLoop& loop, std::chrono::milliseconds limit);
  DatabaseWorker(const DatabaseWorker&) = delete;
  DatabaseWorker& operator=(const DatabaseWorker&) = delete;
  // Stop().
  ~DatabaseWorker();

  // Queues a job of `kind`; false (and nothing queued) while one of that kind
  // is queued or running, or after Stop. Any thread.
  bool Submit(const std::string& kind, Work work, std::function<void()> on_timeout);

  // True while a job of `kind` is queued or running. Any thread.
  bool Busy(const std::string& kind) const;

  // Drops the queued jobs, gives up the running one and ends the worker's
  // thread, waiting for it (which takes no time: it never waits for the
  // database itself). No result is posted afterwards. Any thread.
  void Stop();

 private:
  struct Job {
    std::string kind;
    Work work;
    std::function<void()> on_timeout;
  };

  void Run(std::stop_token stop);

  platform::MainLoop& loop_;
  const std::chrono::milliseconds limit_;
  mutable std::mutex mutex_;
  std::condition_variable_any queued_cv_;
  std::deque<Job> queue_;
  std::set<std::string> busy_;  // kinds queued or running
  bool stopped_ = false;
  std::jthread thread_;
};

}  // namespace kestrin::link
