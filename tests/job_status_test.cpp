#include <gtest/gtest.h>

#include "client/job_status.h"
#include "client/request.h"
#include "commands/handlers.h"
#include "tests/support/service_fixture.h"
#include "upload/shard_transfer.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class JobStatusTest : public ServiceTest {};

TEST_F(JobStatusTest, AnswersReadIntoReports) {
  struct Case {
    int status;
    std::string answer;
    std::string read;  // the state, a report's texts, or what went wrong
  };
  const std::vector<Case> cases = {
      {200, R"({"success":true,"status":"pending"})", "pending"},
      {200, R"({"success":false,"status":"in_progress"})", "in progress"},
      {200, R"({"success":true,"status":"finished","error_message":"2 rows"})", "finished: 2 rows"},
      {200, R"({"success":true,"status":"finished"})", "finished: throws"},
      {200, R"({"success":true,"status":"failed","error":5})", "failed: throws"},
      {200, R"({"success":true,"status":"lost"})", "unknown"},
      {200, R"({"success":true,"status":["x"]})", "throws"},
      {200, R"({"status":"finished","error_message":""})",
       "none: " + error("Server returned invalid response")},
      {200, "[]", "none: " + error("Server returned invalid response")},
      {500, "broken", "none: " + error("Server error: returned status 500 due to broken")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/status", c.status, c.answer);
    CapturedOutput capture;
    std::string read;
    try {
      const auto report = fetch_job_report(session, "/status", request_body(session));
      if (!report) {
        read = "none: " + capture.out();
      } else if (report->state == JobState::kFinished) {
        read = "finished: ";
        read += report->message();
      } else if (report->state == JobState::kFailed) {
        read = "failed: ";
        read += report->failure("P");
      } else {
        const char* names[] = {"pending", "in progress", "", "", "unknown"};
        read = names[static_cast<int>(report->state)];
      }
    } catch (const std::exception& e) {
      read += "throws";  // in the JSON library's own words, which the tests do not pin
    }
    EXPECT_EQ(read, c.read) << c.answer;
  }
}

// The three kinds of job tell each state by their own table, through one printer: an attach,
// a dense batch and an upload's first shard.
TEST_F(JobStatusTest, EachStateToldByEachKindOfJob) {
  struct Case {
    std::string answer;
    std::optional<bool> decided;
    std::string attach, batch, shard;  // standard output, then standard error
  };
  const std::string unknown = error("Server returned unknown status");
  const std::vector<Case> cases = {
      {R"({"status":"pending"})", std::nullopt, success("Request in queue"),
       info("Upload is pending"), info("Subjob [0] is pending")},
      {R"({"status":"in_progress"})", std::nullopt, info("Attaching index..."),
       info("Upload is in progress"), info("Subjob [0] is in progress")},
      {R"({"status":"finished","error_message":"m"})", true, success("Successfully attached index"),
       success("Upload Finished.") + success("m"),
       success("Subjob [1] Finished. Returned with message: m")},
      {R"({"status":"failed","error":"e"})", false, error("Server failed to attach index: e"),
       error("Server failed to upload: e"), error("Server failed to upload: e")},
      {R"({"status":"failed"})", false, error("Server failed to attach index"),
       error("Server failed to upload"), error("Server failed to upload")},
      {R"({"status":"lost"})", false, unknown, unknown, unknown},
  };
  for (const auto& c : cases) {
    JobReport report;
    report.answer = json::parse(c.answer);
    const std::string status = report.answer.at("status");
    report.state = status == "pending"       ? JobState::kPending
                   : status == "in_progress" ? JobState::kInProgress
                   : status == "finished"    ? JobState::kFinished
                   : status == "failed"      ? JobState::kFailed
                                             : JobState::kUnknown;
    const std::pair<const JobTexts*, std::string> kinds[] = {
        {&kAttachJobTexts, c.attach}, {&kBatchJobTexts, c.batch}, {&kShardJobTexts, c.shard}};
    for (const auto& [texts, said] : kinds) {
      CapturedOutput capture;
      EXPECT_EQ(tell_job(report, *texts), c.decided) << c.answer;
      EXPECT_EQ(capture.out() + capture.err(), said) << c.answer;
    }
  }
}

}  // namespace
