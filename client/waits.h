#pragma once
// The client's clock and its sleeps. Every wait (polling pauses, retry delays) goes through a
// Waits object, so that Ctrl-C ends it and tests can put a fake clock in its place.

#include <chrono>
#include <functional>

namespace rest_client {

using Clock = std::chrono::steady_clock;

// What a long wait or transfer shows while it lasts (an upload's progress line): drawn now and
// then, and cleared before the wait returns, so that the lines that follow start clean.
struct ProgressDisplay {
  std::function<void()> draw;
  std::function<void()> clear;
  explicit operator bool() const { return draw && clear; }
};

class Waits {
 public:
  using Now = std::function<Clock::time_point()>;
  using Sleep = std::function<void(std::chrono::nanoseconds)>;

  // The monotonic clock, sleeping on the interrupt pipe.
  Waits() = default;
  // A replacement clock and sleep (tests, fuzzing).
  Waits(Now now, Sleep sleep) : now_(std::move(now)), sleep_(std::move(sleep)) {}

  Clock::time_point now() const;
  // Sleeps; Ctrl-C (before or during the sleep) ends it with Interrupted.
  void wait_for(std::chrono::nanoseconds duration) const;

  // Shown during every wait while set.
  ProgressDisplay progress;

 private:
  Now now_;
  Sleep sleep_;
};

}  // namespace rest_client
