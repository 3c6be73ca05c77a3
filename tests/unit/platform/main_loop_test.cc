#include "platform/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace kestrin::platform {
namespace {

// Runs the loop on a thread of its own, playing the main thread.
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop_.Run(); }) {
    while (!ran_) loop_.CallSynchronized([this] { ran_ = true; });
  }
  ~LoopThread() {
    loop_.Stop();
    thread_.join();
  }
  MainLoop& loop() { return loop_; }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  MainLoop loop_;
  std::atomic<bool> ran_{false};
  std::thread thread_;
};

TEST(MainLoopTest, CallSynchronizedRunsOnMainThreadAndWaits) {
  LoopThread main;
  std::thread::id ran_on;
  int value = 0;
  main.loop().CallSynchronized([&] {
    ran_on = std::this_thread::get_id();
    value = 42;
  });
  EXPECT_EQ(ran_on, main.id());
  EXPECT_EQ(value, 42);
}

TEST(MainLoopTest, ExceptionIsRethrownInCaller) {
  LoopThread main;
  EXPECT_THROW(main.loop().CallSynchronized([] { throw std::logic_error("handler"); }),
               std::logic_error);
  // The loop goes on after a failed call.
  bool ran = false;
  main.loop().CallSynchronized([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(MainLoopTest, NestedCallOnMainThreadRunsDirectly) {
  LoopThread main;
  int depth = 0;
  main.loop().CallSynchronized([&] { main.loop().CallSynchronized([&] { depth = 2; }); });
  EXPECT_EQ(depth, 2);
}

TEST(MainLoopTest, CallAfterStopFailsInsteadOfHanging) {
  MainLoop loop;
  std::thread runner([&] { loop.Run(); });
  loop.Stop();
  runner.join();
  EXPECT_THROW(loop.CallSynchronized([] {}), MainLoopStopped);
}

TEST(MainLoopTest, CallsWaitingWhenLoopStopsAreReleased) {
  LoopThread main;
  std::atomic<bool> blocked{false};
  std::thread caller;
  // Park the main thread inside a call so the next one has to wait.
  main.loop().Post([&] {
    blocked = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  while (!blocked) std::this_thread::yield();
  std::atomic<int> outcome{0};
  caller = std::thread([&] {
    try {
      main.loop().CallSynchronized([&] { outcome = 1; });
    } catch (const MainLoopStopped&) {
      outcome = 2;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  main.loop().Stop();
  caller.join();
  EXPECT_EQ(outcome, 2);
}

TEST(MainLoopTimerTest, TicksOnMainThreadAndFollowsIntervalChanges) {
  LoopThread main;
  std::atomic<int> ticks{0};
  std::atomic<bool> wrong_thread{false};
  MainLoopTimer* timer_ptr = nullptr;
  MainLoopTimer timer(main.loop(), std::chrono::milliseconds(10), [&] {
    if (std::this_thread::get_id() != main.id()) wrong_thread = true;
    // The first tick lengthens the interval, as the watchdog does.
    if (++ticks == 1) timer_ptr->SetInterval(std::chrono::hours(1));
  });
  timer_ptr = &timer;
  EXPECT_FALSE(timer.Enabled());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ticks, 0);  // disabled timers never tick

  timer.SetEnabled(true);
  for (int i = 0; i < 200 && ticks == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ticks, 1);  // the hour-long interval holds the next tick back
  EXPECT_EQ(timer.Interval(), std::chrono::hours(1));

  timer.SetInterval(std::chrono::milliseconds(5));  // a short interval brings it back
  for (int i = 0; i < 200 && ticks < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(ticks, 2);
  timer.SetEnabled(false);
  main.loop().CallSynchronized([] {});
  int after = ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ticks, after);
  EXPECT_FALSE(wrong_thread);
}

}  // namespace
}  // namespace kestrin::platform
