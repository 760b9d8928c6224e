#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <vector>

#include "client/job_status.h"
#include "client/request.h"
#include "commands/handlers.h"
#include "tests/support/loopback.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using testing_support::error;
using testing_support::Reply;

class RequestTest : public testing_support::ServiceTest {};

TEST_F(RequestTest, PostSendsCompactSortedJsonWithoutExpect) {
  service.on("/api/echo", 200, "{}");
  json body = request_body(session);
  body["project_name"] = "p\xc3\xa9";
  body["application"] = "search";
  const std::string large(2 * 1024 * 1024, 'x');
  body["zz"] = large;
  const HttpResponse response = post_limited(session, "/echo", body);
  EXPECT_EQ(response.status, 200);
  ASSERT_EQ(service.requests().size(), 1u);
  const auto request = service.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Expect"), "");
  EXPECT_EQ(request.body,
            "{\"application\":\"search\",\"project_name\":\"p\xc3\xa9\",\"user_api_key\":\"key-1\","
            "\"zz\":\"" +
                large + "\"}");
}

TEST_F(RequestTest, InvalidUtf8InABodyEndsInTheCatchLine) {
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_create_project(session, "p\xff", "both"));
  EXPECT_NE(
      capture.out().find(
          error("Error in handle_create_project: [json.exception.type_error.316]").substr(0, 60)),
      std::string::npos);
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(RequestTest, RateLimiterRefusalSendsNothing) {
  service.on("/api/fetch_projects", 200, R"({"projects":[]})");
  for (int i = 0; i < 10; ++i) {
    testing_support::CapturedOutput quiet;
    ASSERT_TRUE(handle_fetch_projects(session));
  }
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_fetch_projects(session));
  EXPECT_EQ(
      capture.out(),
      "\033[31m[Orvix] Request limit reached, please try again later. If you are inserting "
      "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n" +
          error("Error in handle_fetch_projects: Too many operations in a short time period!"));
  EXPECT_EQ(service.requests().size(), 10u);
}

}  // namespace

namespace {

// A loopback listening socket nobody serves, its queue filled by `fillers` connections.
class SilentListener {
 public:
  SilentListener(int backlog, int fillers)
      : fd_(testing_support::listen_on_loopback(port_, backlog)) {
    for (int i = 0; i < fillers; ++i) {
      fillers_.push_back(testing_support::connect_to_loopback(port_, true));
    }
  }
  ~SilentListener() {
    for (const int fd : fillers_) ::close(fd);
    ::close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  std::string where() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_ = 0;
  int fd_;
  std::vector<int> fillers_;
};

TEST_F(RequestTest, AServiceThatCannotBeReachedOrStopsAnsweringEndsTheRequest) {
  struct Case {
    int backlog, fillers;  // a full queue: the kernel drops further connection attempts
    TransferLimits limits;
    std::string cause;  // after "127.0.0.1:PORT"
  };
  // clang-format off
  const std::vector<Case> cases = {
      {0, 3, {1000, 60}, " within 1 s"},
      {4, 0, {10000, 1}, " timed out after 1 s with no data"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SilentListener listener(c.backlog, c.fillers);
    session.endpoints.api = "http://" + listener.where() + "/api";
    session.network.limits = c.limits;
    testing_support::CapturedOutput capture;
    EXPECT_FALSE(handle_fetch_projects(session));
    const std::string cause = c.fillers > 0 ? "Could not connect to " + listener.where()
                                            : "The request to " + listener.where();
    EXPECT_EQ(capture.out(),
              error("Projects fetch failed! Status: 0\nResponse: ") + error(cause + c.cause));
  }
}

}  // namespace

namespace {

TEST(DumpWithMember, SameBytesAsTheLibrary) {
  const json body = {{"b", 1}, {"d", {{"x", "y"}}}, {"é", "ü"}};
  for (const std::string name : {"a", "c", "d", "z", "\xc3\xa9"}) {
    json expected = body;
    expected[name] = json::array({1.5, nullptr});
    EXPECT_EQ(dump_with_member(body, name, "[1.5,null]"), expected.dump()) << name;
  }
  EXPECT_EQ(dump_with_member(json::object(), "a", "1"), R"({"a":1})");
}

TEST_F(RequestTest, StatusPollsRetryFailuresThatMayPass) {
  const std::string pending = R"({"success":true,"status":"pending"})";
  struct Case {
    const char* name;
    std::vector<Reply> replies;
    bool answered;                                        // the poll ends with an answer
    std::vector<std::pair<long long, long long>> sleeps;  // each retry's wait, lowest to highest
    std::string warnings_and_failure;
  };
  const auto warning = [](const std::string& failure, int retry, const std::string& seconds) {
    return testing_support::yellow("[WARNING] Job status request " + failure + "; retry " +
                                   std::to_string(retry) + " of 4 in " + seconds + " s");
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"passing blips", {{503, "busy", 0, ""}, {502, "gateway", 0, ""}, {200, pending, 0, ""}},
       true, {{500, 1000}, {1000, 2000}}, ""},
      {"Retry-After seconds, then out of retries", {{429, "slow down", 0, "7"}}, false,
       {{7000, 7000}, {7000, 7000}, {7000, 7000}, {7000, 7000}},
       warning("was answered with status 429", 1, "7.0") +
           warning("was answered with status 429", 2, "7.0") +
           warning("was answered with status 429", 3, "7.0") +
           warning("was answered with status 429", 4, "7.0") +
           error("Server error: returned status 429 due to slow down")},
      {"Retry-After date in the past, huge Retry-After",
       {{504, "", 0, "Wed, 21 Oct 2015 07:28:00 GMT"}, {503, "", 0, "99999999999"},
        {200, pending, 0, ""}}, true, {{0, 0}, {120000, 120000}}, ""},
      {"an answer is not retried", {{500, "broken", 0, ""}}, false, {},
       error("Server error: returned status 500 due to broken")},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    sleeps.clear();
    for (const auto& reply : c.replies) service.on("/api/status", reply);
    testing_support::CapturedOutput capture;
    const auto answer = fetch_job_report(session, "/status", request_body(session));
    EXPECT_EQ(answer.has_value(), c.answered);
    EXPECT_EQ(service.requests_to("/api/status").size(), c.sleeps.size() + 1);
    ASSERT_EQ(sleeps.size(), c.sleeps.size());
    for (std::size_t i = 0; i < sleeps.size(); ++i) {
      EXPECT_GE(sleeps[i], c.sleeps[i].first);
      EXPECT_LE(sleeps[i], c.sleeps[i].second);
    }
    if (!c.warnings_and_failure.empty()) {
      EXPECT_EQ(capture.out(), c.warnings_and_failure);
    }
  }
  // No answer at all: four retries with warnings, then the failure line; a request that changes
  // data is sent once.
  reset();
  sleeps.clear();
  session.endpoints.api = "http://127.0.0.1:1/api";
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(fetch_job_report(session, "/status", request_body(session)));
  EXPECT_EQ(sleeps.size(), 4u);
  EXPECT_NE(capture.out().find("[WARNING] Job status request got no answer; retry 4 of 4 in "),
            std::string::npos);
  EXPECT_NE(capture.out().find(error("Server error: returned status 0 due to ")),
            std::string::npos);
  session.endpoints.api = service.base_url() + "/api";
  service.on("/api/create_project", 503, "busy");
  EXPECT_FALSE(handle_create_project(session, "p", "search"));
  EXPECT_EQ(service.requests_to("/api/create_project").size(), 1u);
}

}  // namespace
