#pragma once
// A fake service per test, a session pointed at it, and a fake clock: sleeps are recorded and
// advance the clock instead of waiting.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "client/session.h"
#include "tests/support/capture.h"
#include "tests/support/fake_service.h"

namespace testing_support {

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() {
    session.endpoints = {service.base_url() + "/api", service.base_url(), "", ""};
    session.identity.api_key = "key-1";
    session.waits = rest_client::Waits(
        [this] { return now_; },
        [this](std::chrono::nanoseconds d) {
          sleeps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
          now_ += d;
        });
  }

  // Forgets the script, the recorded requests and the limiter's record between table rows.
  void reset() {
    service.clear();
    session.limiter.clear();
  }

  // The compact bodies of the requests to one path, in order.
  std::vector<std::string> bodies(const std::string& path) const {
    std::vector<std::string> result;
    for (const auto& request : service.requests_to("/api" + path)) result.push_back(request.body);
    return result;
  }

  FakeService service;
  rest_client::Session session;
  std::vector<long long> sleeps;  // milliseconds

 private:
  rest_client::Clock::time_point now_ = rest_client::Clock::time_point(std::chrono::hours(1));
};

}  // namespace testing_support
