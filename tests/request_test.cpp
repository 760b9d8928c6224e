#include <gtest/gtest.h>

#include <functional>

#include "client/request.h"
#include "commands/handlers.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using testing_support::error;

class RequestTest : public testing_support::ServiceTest {};

TEST_F(RequestTest, PostSendsCompactSortedJsonWithoutExpect) {
  service.on("/api/echo", 200, "{}");
  json body = request_body();
  body["project_name"] = "p\xc3\xa9";
  body["application"] = "search";
  const std::string large(2 * 1024 * 1024, 'x');
  body["zz"] = large;
  const HttpResponse response = post("/echo", body);
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

TEST_F(RequestTest, UnreachableServiceGivesStatusZero) {
  server_base_url = "http://127.0.0.1:1/api";
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_create_project("p", "both"));
  EXPECT_EQ(capture.out(), error("Create project failed! Status: 0\nResponse: "));
}

TEST_F(RequestTest, InvalidUtf8InABodyEndsInTheCatchLine) {
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_create_project("p\xff", "both"));
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
    ASSERT_TRUE(handle_fetch_projects());
  }
  testing_support::CapturedOutput capture;
  EXPECT_FALSE(handle_fetch_projects());
  EXPECT_EQ(
      capture.out(),
      "\033[31m[Orvix] Request limit reached, please try again later. If you are inserting "
      "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n" +
          error("Error in handle_fetch_projects: Too many operations in a short time period!"));
  EXPECT_EQ(service.requests().size(), 10u);
}

}  // namespace

namespace {

TEST_F(RequestTest, EveryResourceHandlerReportsAnUnreachableService) {
  server_base_url = "http://127.0.0.1:1/api";
  const std::vector<std::pair<std::function<bool()>, std::string>> cases = {
      {[] { return handle_create_project("p", "both"); },
       "Create project failed! Status: 0\nResponse: "},
      {[] { return handle_fetch_projects(); }, "Projects fetch failed! Status: 0\nResponse: "},
      {[] { return handle_delete_project("p"); }, "Delete project failed! Status: 0\nResponse: "},
      {[] { return handle_init_dataset("p", "d", "dense", "3"); },
       "Initialize dataset failed! Status: 0\n Response: "},
      {[] { return handle_fetch_datasets("p"); }, "Datasets fetch failed! Status: 0\nResponse: "},
      {[] { return handle_delete_dataset("p", "d"); },
       "Delete dataset failed! Status: 0\nResponse: "},
      {[] { return handle_list_index_infos("p", "d"); },
       "Listing index information failed! Status: 0\nResponse: "},
      {[] { return handle_delete_index("p", "d", "i"); },
       "Delete index failed! Status: 0\nResponse: "},
      {[] { return handle_attach_index("p", "d", "i", "L2", false); },
       "Datasets fetch failed! Status: 0\nResponse: \033[0m\n\033[31m[ERROR] Attach Index failed! "
       "Status: 0\nResponse:"},
  };
  for (const auto& [handler, line] : cases) {
    reset();
    testing_support::CapturedOutput capture;
    EXPECT_FALSE(handler());
    EXPECT_EQ(capture.out(), error(line));
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

}  // namespace
