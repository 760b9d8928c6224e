#include "client/waits.h"

#include "client/interrupt.h"

#include <poll.h>

#include <algorithm>
#include <utility>

namespace rest_client {
namespace {

WaitHooks& hooks() {
  static WaitHooks current;
  return current;
}

}  // namespace

Clock::time_point monotonic_now() {
  if (hooks().now) return hooks().now();
  return Clock::now();
}

void wait_for(std::chrono::nanoseconds duration) {
  throw_if_interrupted("the wait");
  if (hooks().sleep) {
    hooks().sleep(duration);
  } else {
    // Sleeps on the interrupt pipe, so Ctrl-C ends the wait at once.
    const auto deadline = Clock::now() + duration;
    for (auto now = Clock::now(); now < deadline && !interrupt_requested(); now = Clock::now()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      pollfd wake{interrupt_wake_fd(), POLLIN, 0};
      poll(&wake, wake.fd >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left.count(), 1000)));
    }
  }
  throw_if_interrupted("the wait");
}

ScopedWaitHooks::ScopedWaitHooks(WaitHooks replacement) : previous_(std::move(hooks())) {
  hooks() = std::move(replacement);
}

ScopedWaitHooks::~ScopedWaitHooks() {
  hooks() = std::move(previous_);
}

}  // namespace rest_client
