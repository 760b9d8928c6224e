#include <gtest/gtest.h>

#include "commands/handlers.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class ProjectCommandsTest : public ServiceTest {};

struct AnswerCase {
  int status;
  std::string body;
  bool ok;
  std::string out;
};

TEST_F(ProjectCommandsTest, CreateProject) {
  const std::vector<AnswerCase> cases = {
      {200, "anything", true, success("Create project 'p' succeeded")},
      {500, "boom", false, error("Create project failed! Status: 500\nResponse: boom")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/create_project", c.status, c.body);
    CapturedOutput capture;
    EXPECT_EQ(handle_create_project(session, "p", "autoML"), c.ok);
    EXPECT_EQ(capture.out(), c.out);
    EXPECT_EQ(capture.err(), info("Creating project with project_name, application: p autoML..."));
    EXPECT_EQ(bodies("/create_project"),
              std::vector<std::string>{
                  R"({"application":"autoML","project_name":"p","user_api_key":"key-1"})"});
  }
}

TEST_F(ProjectCommandsTest, CreateProjectRejectsUnknownApplicationsBeforeSending) {
  for (const std::string application : {"Search", "search ", "automl", ""}) {
    CapturedOutput capture;
    EXPECT_FALSE(handle_create_project(session, "p", application));
    EXPECT_EQ(capture.out(), error("Error in handle_create_project: Please set the application "
                                   "argument to one of 'search', 'autoML', or 'both'"));
  }
  EXPECT_TRUE(service.requests().empty());
  EXPECT_EQ(session.limiter.recorded(), 0u);
}

TEST_F(ProjectCommandsTest, FetchProjects) {
  const std::string fetched = success("Projects fetch succeeded");
  const std::string format = error("Server returned incorrect response format");
  const std::vector<AnswerCase> cases = {
      {200, R"({"projects":[]})", true,
       fetched + success("Sucessfully fetched 0 projects") + kBorder},
      {200, R"({"projects":[{"project_name":"a","project_id":7,"application":"both"},{}]})", true,
       fetched + success("Sucessfully fetched 2 projects") + kBorder +
           "Project Name: \"a\"\nProject ID: 7\nApplication: \"both\"\n" + kBorder +
           "Project Name: null\nProject ID: null\nApplication: null\n" + kBorder},
      {200, R"({"projects":[{"project_name":"a"},"x"]})", false,
       fetched + success("Sucessfully fetched 2 projects") + kBorder +
           "Project Name: \"a\"\nProject ID: null\nApplication: null\n" + kBorder +
           error("Error in handle_fetch_projects: listed element is not a JSON object")},
      {200, R"({"other":[]})", false, fetched + format},
      {200, R"({"projects":{}})", false, fetched + format},
      {200, R"([1,2])", false, fetched + format},
      {200, "oops", false,
       fetched + error("Error in handle_fetch_projects: [json.exception.parse_error.101] parse "
                       "error at line 1, column 1: syntax error while parsing value - invalid "
                       "literal; last read: 'o'")},
      {404, "nope", false, error("Projects fetch failed! Status: 404\nResponse: nope")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/fetch_projects", c.status, c.body);
    CapturedOutput capture;
    EXPECT_EQ(handle_fetch_projects(session), c.ok) << c.body;
    EXPECT_EQ(capture.out(), c.out) << c.body;
    EXPECT_EQ(bodies("/fetch_projects"), std::vector<std::string>{R"({"user_api_key":"key-1"})"});
  }
}

TEST_F(ProjectCommandsTest, DeleteProject) {
  const std::vector<AnswerCase> cases = {
      {200, R"({"success":true})", true, success("Successfully deleted project 'p'")},
      {200, R"({"success":false})", false, error("Failed to delete project, error code: UNKNOWN")},
      {200, R"({"error_code":"NOT_FOUND"})", false,
       error("Failed to delete project, error code: NOT_FOUND")},
      {200, R"({"success":"true"})", false,
       error("Error in handle_delete_project: [json.exception.type_error.302] type must be "
             "boolean, but is string")},
      {200, R"({"success":false,"error_code":1})", false,
       error("Error in handle_delete_project: [json.exception.type_error.302] type must be "
             "string, but is number")},
      {200, "[]", false,
       error("Error in handle_delete_project: [json.exception.type_error.306] cannot use value() "
             "with array")},
      {0 + 503, "", false, error("Delete project failed! Status: 503\nResponse: ")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/delete_project", c.status, c.body);
    CapturedOutput capture;
    EXPECT_EQ(handle_delete_project(session, "p"), c.ok) << c.body;
    EXPECT_EQ(capture.out(), c.out) << c.body;
    EXPECT_EQ(capture.err(), info("Deleting project called with project_name: p ..."));
    EXPECT_EQ(bodies("/delete_project"),
              std::vector<std::string>{R"({"project_name":"p","user_api_key":"key-1"})"});
  }
}

}  // namespace
