#pragma once
// The fixture of the tests that run the real client: the fake service on the test port with a
// key it accepts, the client run in one shot, as a script or on a terminal, and temporary files
// removed afterwards.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/capture.h"
#include "tests/support/fake_service.h"
#include "tests/support/process_runner.h"

namespace testing_support {

class ProcessFixture : public ::testing::Test {
 protected:
  explicit ProcessFixture(std::string key = "secret-key")
      : key(std::move(key)), service(ORVIX_TEST_PORT) {
    service.accept_login(this->key);
  }
  ~ProcessFixture() override {
    for (const auto& path : files_) std::remove(path.c_str());
  }

  std::map<std::string, std::string> env() const { return {{"ORVIX_API_KEY", key}}; }

  // Arguments (none for the shell), standard input, and the environment (the key by default).
  ProcessResult run(std::vector<std::string> args, const std::string& input = "") {
    return run_with(std::move(args), input, env());
  }
  ProcessResult run_with(std::vector<std::string> args, const std::string& input,
                         std::map<std::string, std::string> environment) {
    return run_process(ORVIX_UNDER_TEST, {std::move(args), std::move(environment), input, 30000});
  }
  // On a terminal, with the key unless `environment` is given.
  ProcessResult run_on_terminal(std::vector<std::string> args,
                                const std::vector<TerminalStep>& steps,
                                std::map<std::string, std::string> environment = {}) {
    if (environment.empty()) environment = env();
    environment["TERM"] = "dumb";
    return testing_support::run_on_terminal(
        ORVIX_UNDER_TEST, {std::move(args), std::move(environment), "", 30000}, steps);
  }

  // A temporary file with these contents, removed with the fixture.
  std::string file(const std::string& name, const std::string& contents) {
    const std::string path =
        ::testing::TempDir() + "orvix-" + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << contents;
    files_.push_back(path);
    return path;
  }

  const std::string key;
  FakeService service;

 private:
  std::vector<std::string> files_;
};

}  // namespace testing_support
