#include <gtest/gtest.h>

#include "client/login.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;

class LoginTest : public testing_support::ServiceTest {
 protected:
  LoginTest() { session.identity = {}; }
};

struct LoginCase {
  int status;
  std::string body;
  bool ok;
  std::string out;
  std::string err;
};

TEST_F(LoginTest, AnswersOfTheAccountService) {
  const std::string red = "\033[31m[ERROR] ";
  const std::string end_line = "\033[0m\n";
  const std::vector<LoginCase> cases = {
      {200, R"({"user_id":"u1","username":"ann"})", true,
       "\033[32m[SUCCESS] Login successful!\033[0m\n", ""},
      {401, R"({"detail":"bad key"})", false, "",
       red + "Login failed! Status code: 401\nResponse: {\"detail\":\"bad key\"}" + end_line},
      {200, R"({"user_id":"u1","detail":"expired"})", false, "", red + "expired" + end_line},
      {200, R"({"user_id":"u1"})", false, "",
       red + "Unexpected response format: {\"user_id\":\"u1\"}" + end_line},
      {200, "[1]", false, "", red + "Unexpected response format: [1]" + end_line},
      {200, "not json", false, "",
       red +
           "Exception in handle_login: [json.exception.parse_error.101] parse error at line 1, "
           "column 2: syntax error while parsing value - invalid literal; last read: 'no'" +
           end_line},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/bk/validate-api-key", c.status, c.body);
    testing_support::CapturedOutput capture;
    EXPECT_EQ(handle_login_with_api_key(session, "k e y"), c.ok) << c.body;
    EXPECT_EQ(capture.out(), c.out) << c.body;
    EXPECT_EQ(capture.err(), c.err) << c.body;
  }
  const auto request = service.requests().back();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.header("X-API-Key"), "k e y");
  EXPECT_EQ(request.header("Accept"), "*/*");
  EXPECT_EQ(request.header("Cache-Control"), "no-cache");
  EXPECT_EQ(request.header("Connection"), "keep-alive");
}

TEST_F(LoginTest, IdentityIsKeptOnlyOnSuccess) {
  service.on("/bk/validate-api-key", 200, R"({"user_id":7,"username":"ann"})");
  service.on("/bk/validate-api-key", 200, R"({"user_id":"u7","username":"ann"})");
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_login_with_api_key(session, "k7"));
  EXPECT_EQ(session.identity.api_key, "");
  EXPECT_TRUE(handle_login_with_api_key(session, "k8"));
  EXPECT_EQ(session.identity.api_key, "k8");
  EXPECT_EQ(session.identity.user_id, "u7");
  EXPECT_EQ(session.identity.username, "ann");
}

}  // namespace
