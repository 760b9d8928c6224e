#pragma once
// A fake service per test, a session pointed at it, and a fake clock: sleeps are recorded and
// advance the clock instead of waiting.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "client/session.h"
#include "shell/dispatcher.h"
#include "tests/support/capture.h"
#include "tests/support/fake_service.h"

namespace testing_support {

// One statement against scripted answers: what it prints, what it sends, whether it succeeds.
struct Row {
  std::string line;                                               // its questions are answered "y"
  std::vector<std::tuple<std::string, int, std::string>> script;  // path, status, answer
  bool ok;
  std::string out;                  // all of standard output, search-option traces aside
  std::vector<std::string> sent{};  // "path body" of each request; empty: not checked
};

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() {
    session.endpoints = {service.base_url() + "/api", service.base_url(), "", ""};
    session.identity.api_key = "key-1";
    // The tests' files are small: a shard buffer of a megabyte, not the default's 200 (which
    // AddressSanitizer's allocator would map and clear for every upload).
    session.upload.shard_size = 1 << 20;
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

  // Runs each row on a fresh script and checks its outcome.
  void check(const std::vector<Row>& rows) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.line + (row.script.empty() ? "" : " <- " + std::get<2>(row.script.back())));
      reset();
      for (const auto& [path, status, answer] : row.script) {
        service.on("/api" + path, status, answer);
      }
      CapturedOutput capture("y\n");
      EXPECT_EQ(rest_client::run_statement_line(session, row.line), row.ok);
      // SEARCH traces its options in the map's own order; the grammar tests check them.
      std::string out = capture.out();
      for (std::size_t at; (at = out.find("[Orvix] search_options: ")) != std::string::npos;) {
        out.erase(at, out.find('\n', at) + 1 - at);
      }
      EXPECT_EQ(out, row.out);
      if (row.sent.empty()) continue;
      std::vector<std::string> sent;
      for (const auto& request : service.requests()) {
        sent.push_back(request.path.substr(4) + " " + request.body);
      }
      EXPECT_EQ(sent, row.sent);
    }
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
