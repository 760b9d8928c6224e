#pragma once
// The fixture of tests that run the client in this process, on a fake clock, against a real
// Orvix Local on the test port, with project "p" made.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "client/dataset_listing.h"
#include "client/interrupt.h"
#include "shell/dispatcher.h"
#include "tests/support/capture.h"
#include "tests/support/process_runner.h"
#include "tests/support/resume_driver.h"

namespace testing_support {

class LocalClientTest : public ::testing::Test {
 protected:
  explicit LocalClientTest(const std::string& name)
      : dir_(::testing::TempDir() + "orvix-" + name + "-" + std::to_string(getpid())) {}

  void SetUp() override {
    std::filesystem::create_directories(dir_);
    start_service();
    send_to(ORVIX_TEST_PORT);
    session_.identity = {"e2e-key", "user-1", "user"};
    session_.upload.journal_dir = dir_ + "/state/orvix/uploads";
    session_.waits = rest_client::Waits([this] { return now_; },
                                        [this](std::chrono::nanoseconds d) {
                                          now_ += d;
                                          if (interrupt_after_ > 0 && --interrupt_after_ == 0) {
                                            rest_client::request_interrupt();
                                          }
                                        });
    ASSERT_TRUE(run("CREATE_PROJECT p search").ok);
  }
  void TearDown() override {
    service_.reset();
    rest_client::clear_interrupt();
    std::filesystem::remove_all(dir_);
  }

  // The client's requests go to a loopback port: the service's, or a proxy's before it.
  void send_to(int port) {
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    session_.endpoints = {base + "/api", base, "", ""};
  }

  void start_service() {
    service_ = std::make_unique<BackgroundProcess>(
        ORVIX_LOCAL,
        std::vector<std::string>{"--port", std::to_string(ORVIX_TEST_PORT), "--api-key", "e2e-key",
                                 "--data-dir", dir_ + "/data"},
        dir_ + "/local.log");
    ASSERT_TRUE(service_->wait_for_port(ORVIX_TEST_PORT));
  }

  // Each statement a while after the last, as far as the client's rate limit can tell.
  Said run(const std::string& line, const std::string& input = "") {
    now_ += std::chrono::seconds(10);
    CapturedOutput output(input);
    bool ok = false;
    try {
      ok = rest_client::run_statement_line(session_, line);
    } catch (const rest_client::Interrupted& interrupted) {
      rest_client::clear_interrupt();
      return {false, output.out() + output.err() + interrupted.what};
    }
    return {ok, output.out() + output.err()};
  }

  // The dataset's vector count; -1 when it is not listed.
  long long stored(const std::string& dataset) {
    now_ += std::chrono::seconds(10);
    CapturedOutput quiet;
    const auto listed = rest_client::listed_datasets(session_, "p", dataset);
    return listed.empty() ? -1
                          : rest_client::extractFirstElement(listed.front().value("dimension", ""));
  }

  // Until the service runs no job, which a client that died may have left.
  void settle() { wait_until_idle(dir_ + "/data/orvix.db"); }

  std::string dir_;
  std::unique_ptr<BackgroundProcess> service_;
  rest_client::Session session_;
  rest_client::Clock::time_point now_{};
  int interrupt_after_ = 0;
};

}  // namespace testing_support
