#include "link/database_worker.h"

#include "link/bounded_call.h"

namespace kestrin::link {

DatabaseWorker::DatabaseWorker(platform::MainLoop& loop, std::chrono::milliseconds limit)
    : loop_(loop), limit_(limit), thread_([this](std::stop_token stop) { Run(stop); }) {}

DatabaseWorker::~DatabaseWorker() {
  Stop();
}

bool DatabaseWorker::Submit(const std::string& kind, Work work, std::function<void()> on_timeout) {
  std::lock_guard lock(mutex_);
  if (stopped_ || !busy_.insert(kind).second) return false;
  queue_.push_back(Job{kind, std::move(work), std::move(on_timeout)});
  queued_cv_.notify_all();
  return true;
}

bool DatabaseWorker::Busy(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  return busy_.count(kind) != 0;
}

void DatabaseWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
  }
  thread_.request_stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void DatabaseWorker::Run(std::stop_token stop) {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      queued_cv_.wait(lock, stop, [this] { return !queue_.empty(); });
      if (stop.stop_requested()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    std::optional<std::function<void()>> done =
        RunWithin<std::function<void()>>(limit_, std::move(job.work), stop);
    if (stop.stop_requested()) return;
    {
      // Free for the next job of this kind before the result is handled, so
      // that the result's handler may queue one.
      std::lock_guard lock(mutex_);
      busy_.erase(job.kind);
    }
    if (done) {
      if (*done) loop_.Post(std::move(*done));
    } else if (job.on_timeout) {
      loop_.Post(std::move(job.on_timeout));
    }
  }
}

}  // namespace kestrin::link
