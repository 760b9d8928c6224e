#pragma once
// Client-side limit of at most ten service operations in any three-second window.

#include <deque>
#include <mutex>

#include "client/waits.h"

namespace rest_client {

class RateLimiter {
 public:
  // Records an operation made at `now` when there is room for it; true when the limit is
  // reached and the operation must be refused.
  bool limit_reached(Clock::time_point now);
  // Forgets every recorded operation.
  void clear();
  // Operations recorded in the current window.
  std::size_t recorded();

 private:
  std::mutex mutex_;
  std::deque<Clock::time_point> timestamps_;
  static constexpr double kWindowMs = 3000.0;
  static constexpr long long kMaxOperations = 10;
};

// Passes the session's limiter; prints the limiter line and throws std::runtime_error when the
// operation is refused.
struct Session;
void check_rate_limit(Session& session);

}  // namespace rest_client
