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

// A job is decided by its final states alone; an unknown state ends the wait as a failure.
TEST_F(JobStatusTest, OnlyFinalStatesDecideAJob) {
  const std::vector<std::pair<JobState, std::optional<bool>>> cases = {
      {JobState::kPending, std::nullopt},
      {JobState::kInProgress, std::nullopt},
      {JobState::kFinished, true},
      {JobState::kFailed, false},
      {JobState::kUnknown, false}};
  for (const auto& [state, decided] : cases) {
    JobReport report;
    report.answer = json::object();
    report.state = state;
    CapturedOutput capture;
    EXPECT_EQ(tell_job(report, kAttachJobTexts), decided) << static_cast<int>(state);
  }
}

}  // namespace
