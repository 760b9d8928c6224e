// Uploads that stop (the client killed, the service killed, Ctrl-C) and go on with --resume,
// against a real Orvix Local: every record ends stored exactly once. The records carry string
// ids, which the service refuses to store twice, so a shard sent again after it was stored
// fails the upload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "client/dataset_listing.h"
#include "client/interrupt.h"
#include "shell/dispatcher.h"
#include "tests/support/capture.h"
#include "tests/support/process_runner.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

constexpr int kRecords = 600;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_);
    start_service();
    const std::string base = "http://127.0.0.1:" + std::to_string(ORVIX_TEST_PORT);
    session_.endpoints = {base + "/api", base, "", ""};
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

  void start_service() {
    service_ = std::make_unique<BackgroundProcess>(
        ORVIX_LOCAL,
        std::vector<std::string>{"--port", std::to_string(ORVIX_TEST_PORT), "--api-key", "e2e-key",
                                 "--data-dir", dir_ + "/data"},
        dir_ + "/local.log");
    ASSERT_TRUE(service_->wait_for_port(ORVIX_TEST_PORT));
  }

  struct Said {
    bool ok;
    std::string text;
  };
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

  // A file of kRecords records in about twelve shards, and the UPLOAD line that sends it.
  std::string upload_line(const std::string& format, const std::string& dataset) {
    std::string text = format == "csv" ? "id,a,b\n" : format == "json" ? "[" : "", ids;
    for (int i = 0; i < kRecords; ++i) {
      const std::string n = std::to_string(i);
      const float values[] = {static_cast<float>(i), 0.5f};
      if (format == "csv") text += "r" + n + "," + n + ",0.5\n";
      if (format == "json")
        text +=
            (i == 0 ? "\n{\"id\": \"r" : ",\n{\"id\": \"r") + n + "\", \"v\": [" + n + ", 0.5]}";
      if (format == "binary") text.append(reinterpret_cast<const char*>(values), sizeof values);
      ids += "r" + n + "\n";
    }
    if (format == "json") text += "\n]\n";
    const std::map<std::string, std::string> options = {
        {"csv", "--vector_type dense --has_field_names true --vector_id_field_name id"},
        {"json",
         "--vector_type dense --has_field_names true --vector_id_field_name id "
         "--vector_data_field_name v"},
        {"binary",
         "--binary_dim 2 --binary_dtype float32 --string_ids_file_path " + dir_ + "/ids"}};
    std::ofstream(dir_ + "/ids") << ids;
    std::ofstream(dir_ + "/data." + format, std::ios::binary) << text;
    session_.upload.shard_size = static_cast<int>(text.size() / 12);
    EXPECT_TRUE(run("INIT_DATASET p " + dataset + " dense 2").ok);
    return "UPLOAD p " + dir_ + "/data." + format + " --dataset_name " + dataset +
           " --file_format " + format + " " + options.at(format);
  }

  void remake(const std::string& dataset) {
    EXPECT_TRUE(run("DELETE_DATASET p " + dataset, "y\n").ok);
    EXPECT_TRUE(run("INIT_DATASET p " + dataset + " dense 2").ok);
  }

  long long stored(const std::string& dataset) {
    now_ += std::chrono::seconds(10);
    CapturedOutput quiet;
    const auto listed = rest_client::listed_datasets(session_, "p", dataset);
    return listed.empty() ? -1
                          : rest_client::extractFirstElement(listed.front().value("dimension", ""));
  }

  // Until the service runs no job, which a client that died may have left.
  void settle() {
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir_ + "/data/orvix.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    for (int tries = 0; tries < 2000; ++tries) {
      sqlite3_stmt* running = nullptr;
      sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM jobs WHERE status IN ('pending', 'in_progress')",
                         -1, &running, nullptr);
      const bool idle = sqlite3_step(running) == SQLITE_ROW && sqlite3_column_int(running, 0) == 0;
      sqlite3_finalize(running);
      if (idle) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sqlite3_close(db);
  }

  // Goes on until the upload is done, as a user would: a shard left unanswered is sent again or
  // taken as stored by what the dataset holds once the service is idle.
  void finish(const std::string& line, const std::string& dataset) {
    std::string flags = " --resume";
    for (int attempt = 0; attempt < 4; ++attempt) {
      settle();
      const Said said = run(line + flags);
      if (said.ok) {
        EXPECT_EQ(stored(dataset), kRecords) << said.text;
        return;
      }
      // Stopped before its first shard was sent, or after its last was stored.
      if (has(said.text, "There is no journal") && stored(dataset) == kRecords) return;
      if (has(said.text, "There is no journal") && stored(dataset) == 0) {
        flags = "";
        continue;
      }
      const auto range = said.text.find("(records ");
      ASSERT_TRUE(has(said.text, "answer never came") && range != std::string::npos) << said.text;
      const long long last = std::stoll(said.text.substr(said.text.find('-', range) + 1));
      flags =
          stored(dataset) >= last ? " --resume --skip-unanswered" : " --resume --resend-unanswered";
    }
    FAIL() << "the upload did not finish";
  }

  // Runs the line in a child process, whose output is dropped.
  pid_t start_child(const std::string& line) {
    std::cout.flush();
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      try {
        rest_client::run_statement_line(session_, line);
      } catch (...) {
      }
      _exit(0);
    }
    return pid;
  }

  // A whole upload's time here, for the instants to fall within it.
  std::chrono::microseconds whole_upload(const std::string& format) {
    const std::string line = upload_line(format, "whole");
    const auto begun = Clock::now();
    EXPECT_TRUE(run(line).ok);
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begun);
  }

  std::string dir_ = ::testing::TempDir() + "orvix-resume-" + std::to_string(getpid());
  std::unique_ptr<BackgroundProcess> service_;
  rest_client::Session session_;
  rest_client::Clock::time_point now_{};
  int interrupt_after_ = 0;
  std::mt19937 random_{static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed())};
};

// Twenty instants; six in the sanitizer build, where each run takes three times as long.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKills = 6;
#else
constexpr int kKills = 20;
#endif

TEST_F(ResumeTest, ClientKilledAtRandomInstants) {
  const auto whole = whole_upload("csv");
  for (int run = 0; run < kKills; ++run) {
    const std::string dataset = "k" + std::to_string(run);
    const std::string line = upload_line("csv", dataset);
    const pid_t child = start_child(line);
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<long long>(0, whole.count())(random_)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    SCOPED_TRACE(run);
    finish(line, dataset);
  }
}

TEST_F(ResumeTest, ServiceKilledAndRestarted) {
  const auto whole = whole_upload("json");
  const std::string line = upload_line("json", "restarted");
  const pid_t child = start_child(line);
  std::this_thread::sleep_for(whole / 2);
  service_->stop(SIGKILL);
  waitpid(child, nullptr, 0);
  start_service();
  settle();
  EXPECT_LT(stored("restarted"), kRecords);
  finish(line, "restarted");
}

TEST_F(ResumeTest, CtrlCThenResumeSkipsTheStoredBytes) {
  const std::string line = upload_line("binary", "interrupted");
  interrupt_after_ = 12;
  const Said stopped = run(line);
  EXPECT_TRUE(has(stopped.text, "to go on, run the same UPLOAD statement with --resume"))
      << stopped.text;
  // The journal is the user's alone.
  const auto mode = [](const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions();
  };
  EXPECT_EQ(mode(session_.upload.journal_dir), std::filesystem::perms::owner_all);
  for (const auto& entry : std::filesystem::directory_iterator(session_.upload.journal_dir)) {
    EXPECT_EQ(mode(entry.path()),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  const Said resumed = run(line + " --resume");
  EXPECT_TRUE(resumed.ok) << resumed.text;
  // The stored shards are skipped unread: the reader starts at the first one not stored.
  const auto skip = resumed.text.find("records, ");
  ASSERT_NE(skip, std::string::npos) << resumed.text;
  EXPECT_GT(std::stoll(resumed.text.substr(skip + 9)), 0);
  EXPECT_EQ(stored("interrupted"), kRecords);

  // A journal that cannot be written does not stop an upload, which cannot be resumed then.
  const std::string unjournaled = upload_line("binary", "unjournaled");
  session_.upload.journal_dir = "/dev/null/uploads";
  const Said said = run(unjournaled);
  EXPECT_TRUE(said.ok && has(said.text, "this upload cannot be resumed")) << said.text;
  EXPECT_EQ(stored("unjournaled"), kRecords);
}

// A journal that does not match the file, the options, the shard size or the dataset is
// refused, and nothing is sent.
TEST_F(ResumeTest, ResumeRefusesWhatChanged) {
  const std::string line = upload_line("csv", "refused");
  const std::string file = dir_ + "/data.csv";
  const int shard_size = session_.upload.shard_size;
  std::string original, options;
  std::getline(std::ifstream(file, std::ios::binary), original, '\0');
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { std::ofstream(file, std::ios::app) << "r9999,1,2\n"; }, "has another size or time"},
      {[&] {  // the same size and time, another byte
         struct stat was {};
         stat(file.c_str(), &was);
         std::string changed = original;
         std::ofstream(file, std::ios::binary)
             << changed.replace(10, 1, original[10] == '1' ? "2" : "1");
         const timespec times[] = {was.st_atim, was.st_mtim};
         utimensat(AT_FDCWD, file.c_str(), times, 0);
       },
       "are not those"},
      {[&] { session_.upload.shard_size += 1; }, "SHARD_SIZE is"},
      {[&] { options = " --attributes [a]"; }, "The options are not those"},
      {[&] {
         for (const auto& entry :
              std::filesystem::directory_iterator(session_.upload.journal_dir)) {
           std::ofstream(entry.path()) << "{\"version\": 1, \"key\": []}";
         }
       },
       "is damaged"},
      {[&] { remake("refused"); }, "fewer than the"},
  };
  for (const auto& [change, refusal] : cases) {
    SCOPED_TRACE(refusal);
    interrupt_after_ = 10;
    run(line);
    change();
    settle();
    const long long before = stored("refused");
    const Said said = run(line + options + " --resume");
    EXPECT_FALSE(said.ok);
    EXPECT_TRUE(has(said.text, refusal)) << said.text;
    EXPECT_EQ(stored("refused"), before);
    session_.upload.shard_size = shard_size;
    options.clear();
    std::ofstream(file, std::ios::binary) << original;
    remake("refused");
    std::filesystem::remove_all(dir_ + "/state");
  }
  EXPECT_TRUE(has(run(line + " --resume").text, "There is no journal"));
}

}  // namespace
