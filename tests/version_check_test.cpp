#include <gtest/gtest.h>

#include "client/version_check.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using testing_support::error;

class VersionCheckTest : public testing_support::ServiceTest {};

TEST_F(VersionCheckTest, AnswersGiveOneOrderlyOutcome) {
  const std::string format = error("Server returned incorrect response format");
  const std::vector<std::tuple<int, std::string, bool, std::string>> cases = {
      {200, R"({"success":true,"message":""})", true, ""},
      {200, R"({"success":true})", true, format},
      {200, R"({"success":false,"message":"Please upgrade"})", false, error("Please upgrade")},
      {503, "down", false, error("Error checking CLI version with server, status code: 503")},
      {200, "[]", false, format},
      {200, "\"text\"", false, format},
      {200, R"({"success":"yes","message":"m"})", false, format},
      {200, R"({"success":false})", false, format},
      {200, R"({"success":false,"message":3})", false, format},
      {200, R"({"message":"old"})", false, format + error("old")},
  };
  for (const auto& [status, body, ok, out] : cases) {
    reset();
    service.on("/api/check_cli_version", status, body);
    testing_support::CapturedOutput capture;
    EXPECT_EQ(handle_check_cli_version(session), ok) << body;
    EXPECT_EQ(capture.out(), out) << body;
  }
  EXPECT_EQ(service.requests().back().body, R"({"cli_version":"1.0.0","user_api_key":"key-1"})");
}

TEST_F(VersionCheckTest, BodyThatIsNotJsonIsOneErrorLine) {
  service.on("/api/check_cli_version", 200, "<html>");
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_check_cli_version(session));
  const std::string out = capture.out();
  EXPECT_EQ(out.rfind("\033[31m[ERROR] Error checking CLI version with server: "
                      "[json.exception.parse_error.101]",
                      0),
            0u);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

}  // namespace
