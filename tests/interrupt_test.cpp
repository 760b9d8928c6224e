// Ctrl-C against the real program: on a terminal it stops the running statement and the shell
// goes on; a one-shot statement ends with status 130.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/support/process_fixture.h"

namespace {

using namespace testing_support;

struct InterruptCase {
  const char* name;
  std::string statement;
  std::string running;  // shown once the statement is under way
  std::string warning;  // the one line the interrupt prints; empty for none
};

class InterruptTest : public ProcessFixture {
 protected:
  InterruptTest() {
    service.on("/api/fetch_datasets", 200, R"({"datasets":[]})");
    service.on("/api/fetch_projects", 200, R"({"projects":[]})");
    service.on("/api/attach_index", 200, R"({"success":true,"job_id":"job-7"})");
    service.on("/api/get_attach_index_status", 200, R"({"success":true,"status":"pending"})");
    service.on("/api/list_index_infos", Reply{200, R"({"indices":[]})", 5000, ""});
    service.on("/api/upload", 200, R"({"checksum_server":"s","job_id":"up-1"})");
    service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"in_progress"})");
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += std::to_string(i) + " 0:1.5\n";
    data_path = file("interrupt.libsvm", lines);
  }

  std::string data_path;
};

TEST_F(InterruptTest, CtrlCStopsTheStatementAndTheShellGoesOn) {
  const std::vector<InterruptCase> cases = {
      {"prompt", "FETCH_PROJ", "FETCH_PROJ", ""},
      {"request", "LIST_INDEX p d\r", "Listing the indices",
       "Interrupted the request to /api/list_index_infos"},
      {"job poll", "ATTACH_INDEX p d i cosine false\r", "Request in queue",
       "Interrupted while waiting for job \"job-7\"; the service may still finish it"},
      {"question", "DELETE_PROJECT p\r", "[y/N]: ", "Interrupted the question; nothing was done"},
      {"upload", "UPLOAD p " + data_path + " --file_format libsvm --dataset_name d\r",
       "Subjob [0] is in progress",
       "Interrupted the upload of '" + data_path +
           "' after 1 shard(s) were accepted (records 1-1000, job \"up-1\": may be stored); the "
           "service may still finish jobs \"up-1\"; 0 shard(s) of '" +
           data_path +
           "' (0 records) are stored and 1 may be; to go on, run the same UPLOAD statement with "
           "--resume"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run_on_terminal({}, {{"> ", c.statement},
                                             {c.running, "\x03"},
                                             {"> ", "FETCH_PROJECTS\r"},
                                             {"Sucessfully fetched 0 projects", "exit\r"}});
    EXPECT_EQ(result.waiting_for, "") << result.out;
    EXPECT_FALSE(result.timed_out) << result.out;
    EXPECT_EQ(result.exit_status, 0) << result.out;
    EXPECT_NE(result.out.find("Bye!"), std::string::npos) << result.out;
    if (c.warning.empty()) {
      EXPECT_EQ(result.out.find("[WARNING]"), std::string::npos) << result.out;
    } else {
      const auto line = yellow("[WARNING] " + c.warning);
      EXPECT_NE(result.out.find(line.substr(0, line.size() - 1) + "\r\n"), std::string::npos)
          << result.out;
    }
  }
  // The interrupted deletion was never sent.
  EXPECT_TRUE(service.requests_to("/api/delete_project").empty());
}

TEST_F(InterruptTest, CtrlCAtTheKeyPromptRestoresTheTerminal) {
  // The shell ignores Ctrl-C itself, so that it lives on to show what the client left.
  const std::string command =
      "trap '' INT; " + std::string(ORVIX_UNDER_TEST) + "; echo status $?; stty -a";
  const auto result =
      testing_support::run_on_terminal("/bin/sh", {{"-c", command}, {{"TERM", "dumb"}}, "", 20000},
                                       {{"Enter your Orvix API key: ", "\x03"}});
  EXPECT_NE(result.out.find("status 130"), std::string::npos) << result.out;
  // Echo is back on: "echo" appears in the modes, "-echo" does not.
  EXPECT_NE(result.out.find(" echo "), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("-echo "), std::string::npos) << result.out;
}

TEST_F(InterruptTest, OneShotStatementEndsWithStatus130) {
  const std::string log = file("interrupt.log", "");
  BackgroundProcess client(ORVIX_UNDER_TEST, {"ATTACH_INDEX", "p", "d", "i", "cosine", "false"},
                           log, env());
  for (int i = 0; i < 400 && service.requests_to("/api/get_attach_index_status").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_FALSE(service.requests_to("/api/get_attach_index_status").empty());
  EXPECT_EQ(client.stop(SIGINT), 130);
  std::ifstream file(log);
  const std::string output((std::istreambuf_iterator<char>(file)), {});
  EXPECT_NE(output.find(yellow("[WARNING] Interrupted while waiting for job \"job-7\"; the "
                               "service may still finish it")),
            std::string::npos)
      << output;
}

}  // namespace
