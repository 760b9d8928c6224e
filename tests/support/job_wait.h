#pragma once
// Waiting for a job of Orvix Local to end, in-process or over HTTP alike.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace testing_support {

// Asks `state` for the job's status answer until it is neither pending nor in progress (the
// worker runs on a thread of its own, so this waits briefly, for real); that last answer, or a
// failure after `limit`.
inline nlohmann::json ended_job(const std::function<nlohmann::json()>& state, const std::string& id,
                                std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    nlohmann::json answer = state();
    const std::string status = answer.is_object() ? answer.value("status", "") : "";
    if (status != "pending" && status != "in_progress") return answer;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "job " << id << " did not end: " << answer.dump();
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace testing_support
