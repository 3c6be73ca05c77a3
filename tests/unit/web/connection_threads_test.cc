#include "web/connection_threads.h"

#include <gtest/gtest.h>

#include <future>
#include <system_error>
#include <vector>

namespace kestrin::web {
namespace {

// Threads started by hand: the bodies wait until the test runs them.
struct HeldThreads {
  std::vector<std::function<void()>> bodies;
  bool fail = false;

  ConnectionThreads::StartThread Starter() {
    return [this](std::function<void()> body) {
      if (fail)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      bodies.push_back(std::move(body));
    };
  }
  void Finish(size_t i) {
    std::function<void()> body = std::move(bodies.at(i));
    body();
  }
};

TEST(ConnectionThreadsTest, RefusesBeyondTheLimitUntilAConnectionEnds) {
  HeldThreads held;
  ConnectionThreads threads(2, held.Starter());
  int ran = 0;
  auto task = [&] { ++ran; };
  EXPECT_TRUE(threads.TryRun(task));
  EXPECT_TRUE(threads.TryRun(task));
  EXPECT_FALSE(threads.TryRun(task));
  EXPECT_EQ(held.bodies.size(), 2u);
  EXPECT_EQ(threads.running(), 2u);

  held.Finish(0);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(threads.running(), 1u);
  EXPECT_TRUE(threads.TryRun(task));
  EXPECT_FALSE(threads.TryRun(task));
  held.Finish(1);
  held.Finish(2);
  EXPECT_EQ(ran, 3);
  threads.WaitIdle();
}

TEST(ConnectionThreadsTest, NoThreadToBeHadRefusesAndLeavesNoCount) {
  HeldThreads held;
  held.fail = true;
  ConnectionThreads threads(1, held.Starter());
  bool ran = false;
  EXPECT_FALSE(threads.TryRun([&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_EQ(threads.running(), 0u);
  threads.WaitIdle();  // returns: nothing counts as running

  held.fail = false;
  EXPECT_TRUE(threads.TryRun([&] { ran = true; }));
  held.Finish(0);
  EXPECT_TRUE(ran);
}

TEST(ConnectionThreadsTest, RealThreadsAreAwaited) {
  ConnectionThreads threads(4);
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  std::atomic<int> done = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(threads.TryRun([&, started] {
      started.wait();
      ++done;
    }));
  }
  EXPECT_FALSE(threads.TryRun([] {}));
  go.set_value();
  threads.WaitIdle();
  EXPECT_EQ(done.load(), 4);
  EXPECT_EQ(threads.running(), 0u);
}

}  // namespace
}  // namespace kestrin::web
