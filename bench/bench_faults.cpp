// The fault soak: uploads to Orvix Local through a proxy that loses one request's answer at a
// random shard (every way tests/support/fault_proxy.h knows), some with the client killed at a
// random instant, each followed by resumes as a user would make them. Prints the records stored
// against those expected, the successes that were false, and how the resumes decided.
//   bench_faults ORVIX_LOCAL PORT WORK_DIR [ROUNDS]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "client/dataset_listing.h"
#include "client/interrupt.h"
#include "shell/dispatcher.h"
#include "tests/support/capture.h"
#include "tests/support/fault_proxy.h"
#include "tests/support/process_runner.h"
#include "tests/support/resume_driver.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

struct Tally {
  int rounds = 0, kills = 0, faults = 0, exact = 0, false_successes = 0, unfinished = 0;
  int resumes = 0, decided_alone = 0, asked = 0;
  long long expected = 0, stored = 0;
};

class Soak {
 public:
  Soak(const std::string& local, int port, const std::string& work)
      : work_(work),
        service_(
            local,
            {"--port", std::to_string(port), "--api-key", "soak", "--data-dir", work + "/data"},
            work + "/local.log"),
        proxy_(port) {
    if (!service_.wait_for_port(port)) throw std::runtime_error("Orvix Local did not start");
    const std::string base = "http://127.0.0.1:" + std::to_string(proxy_.port());
    session_.endpoints = {base + "/api", base, "", ""};
    session_.identity = {"soak", "user-1", "user"};
    session_.upload.journal_dir = work + "/state";
    session_.network.limits.stall_seconds = 1;
    session_.waits = rest_client::Waits([this] { return now_; },
                                        [this](std::chrono::nanoseconds d) { now_ += d; });
    run("CREATE_PROJECT p search");
  }

  // `clean`: neither a fault nor a kill.
  void round(int index, Tally& tally, bool clean = false) {
    const int records = std::uniform_int_distribution<int>(100, 600)(random_);
    const bool ids = random_() % 2 == 0;
    const std::string dataset = std::string("d").append(std::to_string(index));
    const std::string path = work_ + "/" + dataset + ".csv";
    std::ofstream file(path);
    file << (ids ? "id,a,b\n" : "a,b\n");
    for (int i = 0; i < records; ++i) {
      if (ids) file << 'r' << i << ',';
      file << i << ",0.5\n";
    }
    file.close();
    const int shards = std::uniform_int_distribution<int>(3, 15)(random_);
    session_.upload.shard_size = static_cast<int>(std::filesystem::file_size(path)) / shards;
    run("INIT_DATASET p " + dataset + " dense 2");
    const std::string line = "UPLOAD p " + path + " --dataset_name " + dataset +
                             " --file_format csv --vector_type dense --has_field_names true" +
                             (ids ? " --vector_id_field_name id" : "");
    // Mostly a lost answer, sometimes a kill, sometimes both.
    const int kind = clean ? -1 : std::uniform_int_distribution<int>(0, 9)(random_);
    const bool fault = kind >= 0 && kind < 8, kill_client = kind >= 6;
    if (fault) arm(shards);
    bool claimed = false;
    if (kill_client) {
      const pid_t child = fork();
      if (child == 0) {
        CapturedOutput quiet;
        try {
          rest_client::run_statement_line(session_, line);
        } catch (...) {
        }
        _exit(0);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::uniform_int_distribution<long long>(0, whole_.count())(random_)));
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    } else {
      claimed = run(line).ok;
    }
    tally.kills += kill_client;
    tally.faults += fault && proxy_.struck();
    const auto stored = [&] { return count(dataset); };
    const auto settle = [&] { wait_until_idle(work_ + "/data/orvix.db"); };
    bool done = claimed;
    if (!claimed) {
      // A resume meets a fault of its own now and then.
      const auto run_resume = [&](const std::string& statement) {
        if (random_() % 4 == 0) arm(shards);
        return run(statement);
      };
      const Resumed resumed = resume_until_done(run_resume, line, stored, settle, records);
      done = resumed.done;
      tally.resumes += resumed.resumes;
      tally.decided_alone += resumed.decided_alone;
      tally.asked += resumed.asked;
    }
    settle();
    const long long held = stored();
    tally.rounds += 1;
    tally.expected += records;
    tally.stored += held;
    tally.exact += held == records;
    tally.false_successes += done && held != records;
    tally.unfinished += !done;
  }

  // One clean upload's time, for the kills to fall within one.
  void measure() {
    const auto begun = Clock::now();
    Tally ignored;
    round(0, ignored, true);
    whole_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begun);
  }

 private:
  void arm(int shards) {
    const Fault fault = kEveryFault[random_() % std::size(kEveryFault)];
    const bool on_upload = random_() % 4 != 0;
    proxy_.arm(on_upload ? "/api/upload" : "/api/get_upload_data_status",
               std::uniform_int_distribution<int>(1, shards)(random_), fault);
  }

  Said run(const std::string& line) {
    now_ += std::chrono::seconds(10);  // past the client's rate limit
    CapturedOutput output;
    try {
      return {rest_client::run_statement_line(session_, line), output.out() + output.err()};
    } catch (const rest_client::Interrupted& interrupted) {
      rest_client::clear_interrupt();
      return {false, interrupted.what};
    }
  }

  long long count(const std::string& dataset) {
    now_ += std::chrono::seconds(10);
    CapturedOutput quiet;
    const auto listed = rest_client::listed_datasets(session_, "p", dataset);
    return listed.empty() ? -1
                          : rest_client::extractFirstElement(listed.front().value("dimension", ""));
  }

  std::string work_;
  BackgroundProcess service_;
  FaultProxy proxy_;
  rest_client::Session session_;
  rest_client::Clock::time_point now_{};
  std::chrono::microseconds whole_{0};
  std::mt19937 random_{std::random_device{}()};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: bench_faults ORVIX_LOCAL PORT WORK_DIR [ROUNDS]\n";
    return 2;
  }
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 300;
  Soak soak(argv[1], std::atoi(argv[2]), argv[3]);
  soak.measure();
  Tally tally;
  const auto begun = Clock::now();
  for (int i = 1; i <= rounds; ++i) {
    soak.round(i, tally);
    if (i % 50 == 0) std::cerr << i << " rounds\n";
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  std::printf("rounds: %d (%d with a fault that struck, %d with the client killed), %.0f s\n",
              tally.rounds, tally.faults, tally.kills, seconds);
  std::printf("records: %lld stored of %lld expected; rounds with each record once: %d\n",
              tally.stored, tally.expected, tally.exact);
  std::printf("false successes: %d; rounds left unfinished: %d\n", tally.false_successes,
              tally.unfinished);
  std::printf("resumes: %d; a lost answer decided by the count: %d; stopped to ask: %d\n",
              tally.resumes, tally.decided_alone, tally.asked);
  return tally.false_successes == 0 && tally.unfinished == 0 ? 0 : 1;
}
