#include <gtest/gtest.h>

#include "client/console.h"
#include "tests/support/capture.h"

namespace {

using namespace rest_client;

TEST(Console, TaggedLines) {
  testing_support::CapturedOutput capture;
  print_success("");
  print_warning("careful");
  print_error("first\nsecond");
  print_border();
  print_info("word");
  EXPECT_EQ(capture.out(),
            "\033[32m[SUCCESS] \033[0m\n"
            "\033[33m[WARNING]careful\033[0m\n"
            "\033[31m[ERROR] first\nsecond\033[0m\n"
            "================================\n");
  EXPECT_EQ(capture.err(), "[INFO] word\n");
}

}  // namespace
