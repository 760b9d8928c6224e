#include "client/rate_limiter.h"

#include <iostream>
#include <stdexcept>

#include "client/console.h"
#include "client/session.h"

namespace rest_client {

bool RateLimiter::limit_reached(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!timestamps_.empty()) {
    const auto elapsed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - timestamps_.front()).count();
    const double elapsed_ms = static_cast<double>(elapsed_ns / 1000000);
    if (kWindowMs >= elapsed_ms) break;
    timestamps_.pop_front();
  }
  const auto n = static_cast<long long>(timestamps_.size());
  if (n > kMaxOperations) return true;
  timestamps_.push_back(now);
  return n + 1 > kMaxOperations;
}

void RateLimiter::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  timestamps_.clear();
}

std::size_t RateLimiter::recorded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return timestamps_.size();
}

void check_rate_limit(Session& session) {
  if (!session.limiter.limit_reached(session.waits.now())) return;
  std::cout << red()
            << "[Orvix] Request limit reached, please try again later. If you are inserting "
               "multiple vectors, please use INSERT_VECTOR_BATCH."
            << reset() << std::endl;
  throw std::runtime_error("Too many operations in a short time period!");
}

}  // namespace rest_client
