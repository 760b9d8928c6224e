#pragma once
// The one place where the client reads the monotonic clock and sleeps. Tests swap in a
// fake clock so that polling loops and the rate limiter never wait for real.

#include <chrono>
#include <functional>

namespace rest_client {

using Clock = std::chrono::steady_clock;

struct WaitHooks {
  std::function<Clock::time_point()> now;
  std::function<void(std::chrono::nanoseconds)> sleep;
};

Clock::time_point monotonic_now();
// Sleeps; Ctrl-C (before or during the sleep) ends it with Interrupted.
void wait_for(std::chrono::nanoseconds duration);

// Replaces the clock and the sleep for the lifetime of the returned guard.
class ScopedWaitHooks {
 public:
  explicit ScopedWaitHooks(WaitHooks hooks);
  ~ScopedWaitHooks();
  ScopedWaitHooks(const ScopedWaitHooks&) = delete;
  ScopedWaitHooks& operator=(const ScopedWaitHooks&) = delete;

 private:
  WaitHooks previous_;
};

}  // namespace rest_client
