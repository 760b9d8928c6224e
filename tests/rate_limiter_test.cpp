#include <gtest/gtest.h>

#include "client/rate_limiter.h"
#include "tests/support/capture.h"

namespace {

using namespace rest_client;
using std::chrono::milliseconds;

class RateLimiterTest : public ::testing::Test {
 protected:
  RateLimiterTest() : hooks_({[this] { return now_; }, nullptr}) { record.timestamps.clear(); }
  void advance(milliseconds d) { now_ += d; }

 private:
  Clock::time_point now_ = Clock::time_point(std::chrono::hours(5));
  ScopedWaitHooks hooks_;
};

TEST_F(RateLimiterTest, EleventhOperationInAWindowIsRefusedButRecorded) {
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(rate_limit()) << i;
    advance(milliseconds(10));
  }
  EXPECT_TRUE(rate_limit());  // eleventh: refused, recorded
  EXPECT_EQ(record.timestamps.size(), 11u);
  EXPECT_TRUE(rate_limit());  // twelfth: refused, not recorded
  EXPECT_EQ(record.timestamps.size(), 11u);

  // The first entry is now 3000 ms old exactly: it stays.
  advance(milliseconds(2900));
  EXPECT_TRUE(rate_limit());
  EXPECT_EQ(record.timestamps.size(), 11u);
  // 3001 ms: dropped; ten left, the attempt is recorded as the eleventh and refused.
  advance(milliseconds(1));
  EXPECT_TRUE(rate_limit());
  EXPECT_EQ(record.timestamps.size(), 11u);
  // Two more entries age out: nine remain, so the next operation is admitted.
  advance(milliseconds(20));
  EXPECT_FALSE(rate_limit());
}

TEST_F(RateLimiterTest, SpacedOperationsAreAlwaysAdmitted) {
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(rate_limit());
    EXPECT_EQ(record.timestamps.size(), 1u);
    advance(milliseconds(3001));
  }
}

TEST_F(RateLimiterTest, RefusalPrintsTheLimiterLineAndThrows) {
  for (int i = 0; i < 10; ++i) check_rate_limit();
  testing_support::CapturedOutput capture;
  try {
    check_rate_limit();
    FAIL() << "not refused";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Too many operations in a short time period!");
  }
  EXPECT_EQ(capture.out(),
            "\033[31m[Orvix] Request limit reached, please try again later. If you are inserting "
            "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n");
}

}  // namespace
