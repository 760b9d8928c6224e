#include "client/waits.h"

#include <thread>
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
  if (hooks().sleep) {
    hooks().sleep(duration);
    return;
  }
  std::this_thread::sleep_for(duration);
}

ScopedWaitHooks::ScopedWaitHooks(WaitHooks replacement) : previous_(std::move(hooks())) {
  hooks() = std::move(replacement);
}

ScopedWaitHooks::~ScopedWaitHooks() {
  hooks() = std::move(previous_);
}

}  // namespace rest_client
