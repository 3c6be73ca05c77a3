// The database worker, with work that stands in for the database: results
// reach the main loop, a kind runs once at a time, a job past its limit is
// given up without holding up the next, and Stop waits for no work.

#include "link/database_worker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../transport/transport_test_support.h"

namespace kestrin::link {
namespace {

using namespace std::chrono_literals;
using transport::testing::LoopThread;

// A flag a work or a test waits for. Shared by pointer: work that is given up
// outlives the test's stack.
class Flag {
 public:
  void Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// What ran on the main loop, in order; every entry notes whether it ran there.
class Outcomes {
 public:
  explicit Outcomes(platform::MainLoop& loop) : loop_(loop) {}

  std::function<void()> Note(std::string what) {
    return [this, what] {
      std::lock_guard lock(mutex_);
      list_.push_back(what + (loop_.InMainThread() ? "" : " (off the main loop)"));
      cv_.notify_all();
    };
  }
  bool WaitCount(size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] { return list_.size() >= n; });
  }
  std::vector<std::string> List() {
    std::lock_guard lock(mutex_);
    return list_;
  }

 private:
  platform::MainLoop& loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> list_;
};

// A work that waits for `gate`, notes that it ran off the main loop, and
// returns `result`.
DatabaseWorker::Work GatedWork(platform::MainLoop& loop, std::shared_ptr<Flag> started,
                               std::shared_ptr<Flag> gate, std::function<void()> result) {
  return [&loop, started, gate, result]() -> std::function<void()> {
    if (loop.InMainThread()) return nullptr;
    started->Set();
    gate->Wait(1h);
    return result;
  };
}

DatabaseWorker::Work QuickWork(std::function<void()> result) {
  return [result] { return result; };
}

TEST(DatabaseWorkerTest, RunsOneJobOfAKindAtATimeAndHandsResultsToTheMainLoop) {
  LoopThread loop;
  Outcomes outcomes(loop.loop());
  DatabaseWorker worker(loop.loop(), 1h);
  auto started = std::make_shared<Flag>();
  auto gate = std::make_shared<Flag>();

  ASSERT_TRUE(worker.Submit("refresh",
                            GatedWork(loop.loop(), started, gate, outcomes.Note("refresh")),
                            outcomes.Note("refresh timed out")));
  ASSERT_TRUE(started->Wait());
  // Refused while one of its kind runs; another kind queues behind it.
  EXPECT_TRUE(worker.Busy("refresh"));
  EXPECT_FALSE(worker.Submit("refresh", QuickWork(outcomes.Note("second refresh")), nullptr));
  EXPECT_TRUE(worker.Submit("set-up", QuickWork(outcomes.Note("set-up")), nullptr));
  EXPECT_TRUE(worker.Busy("set-up"));

  gate->Set();
  ASSERT_TRUE(outcomes.WaitCount(2));
  EXPECT_EQ(outcomes.List(), (std::vector<std::string>{"refresh", "set-up"}));
  EXPECT_FALSE(worker.Busy("refresh"));
  EXPECT_FALSE(worker.Busy("set-up"));

  // Free again once done; a work with nothing to hand back posts nothing.
  EXPECT_TRUE(worker.Submit("refresh", QuickWork(nullptr), nullptr));
  EXPECT_TRUE(worker.Submit("set-up", QuickWork(outcomes.Note("set-up again")), nullptr));
  ASSERT_TRUE(outcomes.WaitCount(3));
  EXPECT_EQ(outcomes.List().back(), "set-up again");
}

TEST(DatabaseWorkerTest, AJobPastItsLimitIsGivenUpAndItsLateResultDropped) {
  LoopThread loop;
  Outcomes outcomes(loop.loop());
  DatabaseWorker worker(loop.loop(), 200ms);
  auto started = std::make_shared<Flag>();
  auto gate = std::make_shared<Flag>();
  auto finished = std::make_shared<Flag>();

  ASSERT_TRUE(worker.Submit(
      "set-up",
      [&loop, started, gate, finished, late = outcomes.Note("late result")]() {
        auto work = GatedWork(loop.loop(), started, gate, late);
        std::function<void()> result = work();
        finished->Set();
        return result;
      },
      outcomes.Note("set-up timed out")));
  ASSERT_TRUE(worker.Submit("refresh", QuickWork(outcomes.Note("refresh")), nullptr));
  // The stuck work holds up neither the job behind it nor a new one of its kind.
  ASSERT_TRUE(outcomes.WaitCount(2));
  EXPECT_EQ(outcomes.List(), (std::vector<std::string>{"set-up timed out", "refresh"}));
  EXPECT_FALSE(worker.Busy("set-up"));
  ASSERT_TRUE(worker.Submit("set-up", QuickWork(outcomes.Note("set-up again")), nullptr));
  ASSERT_TRUE(outcomes.WaitCount(3));

  // The given-up work ends later; what it returns never runs.
  gate->Set();
  ASSERT_TRUE(finished->Wait());
  loop.Run([] {});
  EXPECT_EQ(outcomes.List(),
            (std::vector<std::string>{"set-up timed out", "refresh", "set-up again"}));
}

TEST(DatabaseWorkerTest, StopGivesUpTheRunningJobWithoutWaitingForIt) {
  LoopThread loop;
  Outcomes outcomes(loop.loop());
  auto started = std::make_shared<Flag>();
  auto gate = std::make_shared<Flag>();
  {
    DatabaseWorker worker(loop.loop(), 1h);
    ASSERT_TRUE(worker.Submit("refresh",
                              GatedWork(loop.loop(), started, gate, outcomes.Note("refresh")),
                              outcomes.Note("refresh timed out")));
    ASSERT_TRUE(worker.Submit("set-up", QuickWork(outcomes.Note("set-up")), nullptr));
    ASSERT_TRUE(started->Wait());
    // Returns while the work still waits at its gate.
    worker.Stop();
    EXPECT_FALSE(worker.Submit("set-up", QuickWork(outcomes.Note("after stop")), nullptr));
  }
  // The worker's thread has ended: nothing it queued or ran comes later.
  loop.Run([] {});
  EXPECT_TRUE(outcomes.List().empty()) << outcomes.List().front();
  gate->Set();
}

}  // namespace
}  // namespace kestrin::link
