#include "web/rate_limit.h"

namespace kestrin::web {

bool RateLimit::Allow(int key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto [it, first] = last_.try_emplace(key, now);
  if (first) return true;
  if (now - it->second < interval_) return false;
  it->second = now;
  return true;
}

}  // namespace kestrin::web
