// Uploads that stop (the client killed, the service killed, Ctrl-C) and go on with --resume,
// against a real Orvix Local: every record ends stored exactly once. The records carry string
// ids, which the service refuses to store twice, so a shard sent again after it was stored
// fails the upload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
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
#include "tests/support/fault_proxy.h"
#include "tests/support/local_client_test.h"
#include "tests/support/process_runner.h"
#include "tests/support/resume_driver.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

constexpr int kRecords = 600;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ResumeTest : public LocalClientTest {
 protected:
  ResumeTest() : LocalClientTest("resume") {}

  // A file of kRecords records in about twelve shards, and the UPLOAD line that sends it.
  std::string upload_line(const std::string& format, const std::string& dataset) {
    std::string text = format == "csv"     ? "id,a,b\n"
                       : format == "plain" ? "a,b\n"
                       : format == "json"  ? "["
                                           : "",
                ids;
    for (int i = 0; i < kRecords; ++i) {
      const std::string n = std::to_string(i);
      const float values[] = {static_cast<float>(i), 0.5f};
      if (format == "csv") text += "r" + n + "," + n + ",0.5\n";
      if (format == "plain") text += n + ",0.5\n";
      if (format == "json")
        text +=
            (i == 0 ? "\n{\"id\": \"r" : ",\n{\"id\": \"r") + n + "\", \"v\": [" + n + ", 0.5]}";
      if (format == "binary") text.append(reinterpret_cast<const char*>(values), sizeof values);
      ids += "r" + n + "\n";
    }
    if (format == "json") text += "\n]\n";
    const std::map<std::string, std::string> options = {
        {"csv", "--vector_type dense --has_field_names true --vector_id_field_name id"},
        {"plain", "--vector_type dense --has_field_names true"},
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
           " --file_format " + (format == "plain" ? "csv" : format) + " " + options.at(format);
  }

  void remake(const std::string& dataset) {
    EXPECT_TRUE(run("DELETE_DATASET p " + dataset, "y\n").ok);
    EXPECT_TRUE(run("INIT_DATASET p " + dataset + " dense 2").ok);
  }

  // Goes on until the upload is done, as a user would: plain --resume, then the flag it asks
  // for. Counts the resumes that decided a lost answer by themselves.
  void finish(const std::string& line, const std::string& dataset) {
    const Resumed resumed =
        resume_until_done([this](const std::string& statement) { return run(statement); }, line,
                          [&] { return stored(dataset); }, [this] { settle(); }, kRecords);
    decided_alone_ += resumed.decided_alone;
    EXPECT_TRUE(resumed.done) << resumed.last;
    EXPECT_EQ(stored(dataset), kRecords) << resumed.last;
  }

  // Runs the line in a child process, whose output is dropped. Fork only while this process
  // has no other thread: the child gets none of them but may get a lock one of them held, and
  // would wait on it for ever. With `port_from`, the child first reads the port to send to, of
  // a proxy started after the fork.
  pid_t start_child(const std::string& line, int port_from = -1) {
    std::cout.flush();
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      if (port_from >= 0) {
        int port = 0;
        if (read(port_from, &port, sizeof port) != sizeof port) _exit(1);
        send_to(port);
      }
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

  int decided_alone_ = 0;
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
    const std::string dataset = std::string("k").append(std::to_string(run));
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
  struct Case {
    std::function<void()> change;
    std::string refusal;
    int interrupt_after = 10;  // waits before Ctrl-C
  };
  const std::vector<Case> cases = {
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
      // Stopped while its first shard's job ran: that job's records went with the dataset.
      {[&] { remake("refused"); }, "fewer than the", 1},
  };
  for (const auto& [change, refusal, interrupt_after] : cases) {
    SCOPED_TRACE(refusal + std::to_string(interrupt_after));
    interrupt_after_ = interrupt_after;
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
  // An upload the service refused outright stored nothing: there is nothing to go on from.
  const Said refused = run(line.substr(0, line.find(" --dataset_name")) + " --dataset_name none" +
                           line.substr(line.find(" --file_format")));
  EXPECT_FALSE(refused.ok);
  EXPECT_FALSE(has(refused.text, "--resume")) << refused.text;
}

// Each way a network loses an answer, at a random shard, then --resume as a user would: every
// record stored once, for records without ids (a shard stored twice shows in the count) and with
// string ids.
TEST_F(ResumeTest, EveryNetworkFaultEndsWithEachRecordOnce) {
  FaultProxy proxy(ORVIX_TEST_PORT);
  send_to(proxy.port());
  session_.network.limits.stall_seconds = 1;
  int dataset = 0;
  for (const Fault fault : kEveryFault) {
    for (const std::string format : {"plain", "csv"}) {
      SCOPED_TRACE(std::string(fault_name(fault)) + ", " + format);
      // A stall costs the client's timeout after libcurl's five-second speed window: once.
      if (fault == Fault::kStall && format == "csv") continue;
      const std::string name = std::string("f").append(std::to_string(++dataset));
      const std::string line = upload_line(format, name);
      proxy.arm("/api/upload", std::uniform_int_distribution<int>(1, 12)(random_), fault);
      const Said failed = run(line);
      EXPECT_FALSE(failed.ok) << failed.text;
      EXPECT_TRUE(proxy.struck());
      EXPECT_TRUE(has(failed.text, "--resume")) << failed.text;
      finish(line, name);
    }
  }
  // The service had taken every shard whose answer it sent, and the count told.
  EXPECT_GT(decided_alone_, 0);
}

// Lost answers elsewhere: a batch is neither said inserted nor sent again; job-status polls of
// uploads and attaches ride over them.
TEST_F(ResumeTest, LostAnswersOfBatchesAndJobPolls) {
  FaultProxy proxy(ORVIX_TEST_PORT);
  send_to(proxy.port());
  ASSERT_TRUE(run("INIT_DATASET p b dense 2").ok);
  proxy.arm("/api/add_data_batch", 1, Fault::kCloseAfterAnswer);
  const Said batch = run("INSERT_VECTOR_BATCH p b [x, y] [[1, 2], [3, 4]]");
  EXPECT_FALSE(batch.ok);
  EXPECT_TRUE(has(batch.text, "its vectors may be")) << batch.text;
  EXPECT_FALSE(has(batch.text, "[SUCCESS]")) << batch.text;
  EXPECT_EQ(proxy.seen("/api/add_data_batch"), 1);
  int index = 0;
  for (const Fault fault : {Fault::kCloseAfterAnswer, Fault::kBadGateway, Fault::kGatewayTimeout,
                            Fault::kCutAnswer, Fault::kResetBeforeForwarding}) {
    SCOPED_TRACE(fault_name(fault));
    const std::string dataset = "polled" + std::to_string(++index);
    const std::string line = upload_line("binary", dataset);
    proxy.arm("/api/get_upload_data_status", 1, fault);
    EXPECT_TRUE(run(line).ok);
    EXPECT_TRUE(proxy.struck());
    proxy.arm("/api/get_attach_index_status", 1, fault);
    EXPECT_TRUE(run("ATTACH_INDEX p " + dataset + " i L2").ok);
    EXPECT_TRUE(proxy.struck());
  }
}

// One upload of a file to a dataset at a time: a second one, or a resume, is refused while the
// first runs, naming its process, and goes on once it is gone. A dry run takes no lock.
TEST_F(ResumeTest, TwoUploadsOfOneFileNeverShareAJournal) {
  const std::string line = upload_line("plain", "twice");
  int port_pipe[2];
  ASSERT_EQ(pipe(port_pipe), 0);
  const pid_t first = start_child(line, port_pipe[0]);
  close(port_pipe[0]);
  FaultProxy proxy(ORVIX_TEST_PORT);
  proxy.arm("/api/upload", 3, Fault::kStall);
  const int port = proxy.port();
  EXPECT_EQ(write(port_pipe[1], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  close(port_pipe[1]);
  const auto give_up = Clock::now() + std::chrono::seconds(60);
  bool ended = false;
  // A child already waited for is not killed: its number may be another process's by then.
  const auto stop_first = [&] {
    if (!ended) kill(first, SIGKILL);
    if (!ended) waitpid(first, nullptr, 0);
  };
  while (!proxy.struck() && Clock::now() < give_up && !ended) {
    ended = waitpid(first, nullptr, WNOHANG) == first;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!proxy.struck()) {
    stop_first();
    FAIL() << "the first upload never reached its third shard";
  }
  send_to(port);
  for (const std::string flags : {"", " --resume"}) {
    const Said second = run(line + flags);
    EXPECT_FALSE(second.ok);
    EXPECT_TRUE(has(second.text, "Another client is running an upload of '" + dir_ +
                                     "/data.plain' to dataset 'twice' (process " +
                                     std::to_string(first) + "); nothing was sent"))
        << second.text;
  }
  EXPECT_TRUE(run(line + " --dry-run").ok);
  stop_first();
  finish(line, "twice");
}

// A journal or directory that someone else could have made or changed: an error or a warning,
// never a crash, a hang or a write outside the journal.
TEST_F(ResumeTest, TamperedJournalsAndDirectories) {
  const std::string line = upload_line("plain", "tampered");
  const std::string victim = dir_ + "/victim";
  auto journal = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(session_.upload.journal_dir)) {
      if (entry.path().extension() == ".json") return entry.path().string();
    }
    return std::string();
  };
  auto replace = [&](const std::function<void(const std::string&)>& make) {
    const std::string path = journal();
    std::filesystem::remove(path);
    make(path);
  };
  struct Case {
    std::function<void()> tamper;
    std::string resume_says;  // empty: the resume goes through
  };
  const std::vector<Case> cases = {
      {[&] {
         std::ofstream(victim) << "mine";
         std::filesystem::create_symlink(victim, journal() + ".tmp");
       },
       ""},
      {[&] { replace([](const std::string& path) { mkfifo(path.c_str(), 0600); }); },
       "is damaged: it is not a regular file"},
      {[&] {
         replace([](const std::string& path) {
           std::ofstream(path) << std::string(300000, '[') + std::string(300000, ']');
         });
       },
       "is damaged: it is nested deeper than 8 levels"},
      {[&] { replace([&](const std::string& path) { symlink(victim.c_str(), path.c_str()); }); },
       "is damaged: it is a symbolic link"},
      {[&] { chmod(session_.upload.journal_dir.c_str(), 0777); },
       "may be written by others (mode 0777); nothing can be resumed"},
  };
  for (const auto& [tamper, resume_says] : cases) {
    SCOPED_TRACE(resume_says);
    interrupt_after_ = 10;
    run(line);
    tamper();
    settle();
    const Said resumed = run(line + " --resume");
    if (resume_says.empty()) {
      finish(line, "tampered");
    } else {
      EXPECT_FALSE(resumed.ok);
      EXPECT_TRUE(has(resumed.text, resume_says)) << resumed.text;
      // A new upload goes on, over what was planted or without a journal.
      remake("tampered");
      EXPECT_TRUE(run(line).ok);
      EXPECT_EQ(stored("tampered"), kRecords);
    }
    std::ifstream read_back(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(read_back), {}), "mine");
    remake("tampered");
    std::filesystem::remove_all(dir_ + "/state");
  }
}

}  // namespace
