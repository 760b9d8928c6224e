// Fuzz target: the handlers' reading of the service's answers. The first byte picks a statement
// (or login, or the version check); the rest is the service's answers in order, separated by
// 0xFF bytes. An answer's first byte picks its status (and a Retry-After header), the rest is its
// body. Once the answers run out, every request fails as if the connection were refused.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/http.h"
#include "client/login.h"
#include "client/session.h"
#include "client/version_check.h"
#include "shell/dispatcher.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/support/capture.h"
#include "tests/support/statement_table.h"

namespace {

std::string temp_path(const char* name) {
  return "/tmp/orvix_answer_fuzz_" + std::to_string(getpid()) + "_" + name;
}

const std::string kCsv = temp_path("data.csv");
const std::string kLibsvm = temp_path("data.libsvm");
const std::string kQueries = temp_path("queries.csv");

std::vector<std::string> statements() {
  std::vector<std::string> lines;
  for (const auto& row : testing_support::statement_rows(kCsv, kLibsvm, kQueries)) {
    lines.push_back(row.statement);
  }
  return lines;
}

constexpr long kStatuses[16] = {200, 200, 200, 200, 200, 200, 200, 200,
                                0,   400, 404, 429, 500, 502, 503, 504};

// The scripted answers of one input.
class Answers {
 public:
  explicit Answers(std::string_view text) {
    while (!text.empty()) {
      const auto end = text.find('\xff');
      parts_.push_back(text.substr(0, end));
      if (end == std::string_view::npos) break;
      text.remove_prefix(end + 1);
    }
  }

  rest_client::HttpResponse next() {
    if (next_ == parts_.size()) return {};
    const std::string_view part = parts_[next_++];
    if (part.empty()) return {};
    const auto code = static_cast<unsigned char>(part[0]);
    rest_client::HttpResponse response;
    response.status = kStatuses[code & 0x0F];
    response.text = std::string(part.substr(1));
    if (code & 0x10) response.retry_after = std::string("2");
    if (code & 0x20) response.retry_after = std::string("99999999999999999999");
    if (code & 0x40) response.retry_after = std::string("Wed, 21 Oct 2015 07:28:00 GMT");
    return response;
  }

 private:
  std::vector<std::string_view> parts_;
  std::size_t next_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InputTimer::report_at_exit();
  std::ofstream(kCsv) << "id,a,b\nx,1,2\ny,3,4\nz,5,6\nw,7,8\n";
  std::ofstream(kLibsvm) << "1 0:1.5 3:2\n2 1:0.5\n3 2:1\n";
  std::ofstream(kQueries) << "1,2\n3,4\n";
  std::atexit([] {
    std::remove(kCsv.c_str());
    std::remove(kLibsvm.c_str());
    std::remove(kQueries.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const fuzzing::InputTimer timer;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Answers answers(input.substr(1));
  rest_client::Session session;
  session.endpoints = rest_client::built_in_endpoints();
  session.network.transport = [&](const std::string&, const std::string&, const std::string&) {
    return answers.next();
  };
  auto now = rest_client::Clock::time_point{};
  session.waits =
      rest_client::Waits([&] { return now; }, [&](std::chrono::nanoseconds step) { now += step; });
  session.identity.api_key = "fuzz-key";
  session.upload.shard_size = 24;  // several shards from the small files
  // ORVIX_FUZZ_SHOW=1 shows what the client prints, for reading a reproducer.
  static const bool show = std::getenv("ORVIX_FUZZ_SHOW") != nullptr;
  std::optional<testing_support::CapturedOutput> output;
  output.emplace("y\ny\ny\n");

  static const std::vector<std::string> lines = statements();
  const std::size_t choice = static_cast<unsigned char>(input[0]) % (lines.size() + 2);
  if (choice >= lines.size()) {
    if (choice == lines.size()) {
      rest_client::handle_login_with_api_key(session, "fuzz-key");
    } else {
      rest_client::handle_check_cli_version(session);
    }
    const std::string shown = output->out() + output->err();
    output.reset();
    if (show) std::cout << shown;
  } else {
    const bool done = rest_client::run_statement_line(session, lines[choice]);
    // A statement fails exactly when it says so in an error line.
    const std::string shown = output->out() + output->err();
    output.reset();
    if (show) std::cout << shown << "result: " << done << std::endl;
    if (done == (shown.find("[ERROR]") != std::string::npos)) {
      std::cerr << "result " << done << " disagrees with the output:\n" << shown << std::endl;
      std::abort();
    }
  }
  return 0;
}
