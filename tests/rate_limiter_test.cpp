#include <gtest/gtest.h>

#include "client/rate_limiter.h"

namespace {

using namespace rest_client;
using std::chrono::milliseconds;

TEST(RateLimiter, TenOperationsInAnyThreeSecondWindow) {
  // Each step: advance the clock, then try one operation.
  struct Step {
    int advance_ms;
    bool refused;
    std::size_t recorded;  // operations in the window afterwards
  };
  std::vector<Step> steps;
  for (std::size_t i = 1; i <= 10; ++i) steps.push_back({0, false, i});  // ten at once
  steps.push_back({0, true, 11});     // eleventh: refused, but recorded
  steps.push_back({0, true, 11});     // twelfth: refused, not recorded
  steps.push_back({3000, true, 11});  // the ten are exactly 3000 ms old: they stay
  steps.push_back({1, false, 1});     // 3001 ms: all eleven are gone; room again
  RateLimiter limiter;
  auto now = Clock::time_point(std::chrono::hours(5));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    now += milliseconds(steps[i].advance_ms);
    EXPECT_EQ(limiter.limit_reached(now), steps[i].refused) << "step " << i;
    EXPECT_EQ(limiter.recorded(), steps[i].recorded) << "step " << i;
  }
  for (int i = 0; i < 30; ++i) {
    now += milliseconds(3001);
    EXPECT_FALSE(limiter.limit_reached(now)) << "spaced operation " << i;
  }
}

}  // namespace
