#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

namespace kestrin::link {

namespace internal {
inline std::atomic<int> running_bounded_calls{0};
}  // namespace internal

// How many works started by RunWithin have not ended yet, whether or not
// anyone still waits for them. The database client's exit handler waits for
// the connects still in progress, minutes for a server that never answers: a
// process that ends while one runs must end without running exit handlers.
inline int RunningBoundedCalls() {
  return internal::running_bounded_calls.load();
}

// Runs `work` on a thread of its own and waits for its result for at most
// `limit`, or until `stop` is requested. Returns the result, or nullopt when
// the wait ended first: the work then goes on alone, and its result is
// destroyed on its own thread when it is done. The work must therefore own
// everything it touches (capture by value) and must not throw.
//
// This is how a call that the database client cannot time out itself (a
// database server that accepts the connection and never answers) is kept from
// holding up its caller.
template <class Result>
std::optional<Result> RunWithin(std::chrono::milliseconds limit, std::function<Result()> work,
                                std::stop_token stop = {}) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable_any done_cv;
    std::optional<Result> result;
  };
  auto shared = std::make_shared<Shared>();
  internal::running_bounded_calls.fetch_add(1);
  std::thread([shared, work = std::move(work)]() mutable {
    {
      Result result = work();
      std::lock_guard lock(shared->mutex);
      shared->result.emplace(std::move(result));
      shared->done_cv.notify_all();
    }
    // A result nobody took, and what the work holds, go here, before the
    // work counts as ended.
    shared.reset();
    work = nullptr;
    internal::running_bounded_calls.fetch_sub(1);
  }).detach();
  std::unique_lock lock(shared->mutex);
  shared->done_cv.wait_for(lock, stop, limit, [&] { return shared->result.has_value(); });
  if (!shared->result) return std::nullopt;
  std::optional<Result> result = std::move(shared->result);
  shared->result.reset();
  return result;
}

}  // namespace kestrin::link
