// The project, dataset and index statements against scripted answers: what each prints, what it
// sends, and whether it succeeds. Deletions are confirmed with "y".
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "commands/datasets.h"
#include "commands/indices.h"
#include "shell/dispatcher.h"
#include "shell/repl.h"
#include "tests/support/service_fixture.h"
#include "tests/support/statement_table.h"

namespace {

using namespace rest_client;
using namespace testing_support;
using nlohmann::json;

std::string asked(const std::string& question) {
  return "\033[33mAre you sure you want to delete " + question + "? [y/N]: \033[0m";
}

const std::string kFormat = error("Server returned incorrect response format");
const std::string kFetched = success("Projects fetch succeeded");
const std::string kDatasets = success("Datasets fetch succeeded");

std::string datasets_fetched(int count) {
  return kDatasets +
         success("Successfully fetched " + std::to_string(count) + " datasets from project 'p'") +
         kBorder;
}

class HandlerTest : public ServiceTest {};

// clang-format off
TEST_F(HandlerTest, Projects) {
  const std::string key = R"("user_api_key":"key-1")";
  const std::string del = asked("project 'p'");
  check({
      {"CREATE_PROJECT p autoML", {{"/create_project", 200, "anything"}}, true,
       success("Create project 'p' succeeded"),
       {R"(/create_project {"application":"autoML","project_name":"p",)" + key + "}"}},
      {"CREATE_PROJECT p autoML", {{"/create_project", 500, "boom"}}, false,
       error("Create project failed! Status: 500\nResponse: boom")},
      {"CREATE_PROJECT p automl", {}, false,
       error("Error in handle_create_project: Please set the application argument to one of "
             "'search', 'autoML', or 'both'")},
      {"FETCH_PROJECTS", {{"/fetch_projects", 200, R"({"projects":[]})"}}, true,
       kFetched + success("Sucessfully fetched 0 projects") + kBorder, {"/fetch_projects {" + key + "}"}},
      {"FETCH_PROJECTS",
       {{"/fetch_projects", 200, R"({"projects":[{"project_name":"a","project_id":7,"application":"both"},{}]})"}},
       true, kFetched + success("Sucessfully fetched 2 projects") + kBorder +
           "Project Name: \"a\"\nProject ID: 7\nApplication: \"both\"\n" + kBorder +
           "Project Name: null\nProject ID: null\nApplication: null\n" + kBorder},
      {"FETCH_PROJECTS", {{"/fetch_projects", 200, R"({"projects":[{"project_name":"a"},"x"]})"}}, false,
       kFetched + success("Sucessfully fetched 2 projects") + kBorder +
           "Project Name: \"a\"\nProject ID: null\nApplication: null\n" + kBorder +
           error("Error in handle_fetch_projects: listed element is not a JSON object")},
      {"FETCH_PROJECTS", {{"/fetch_projects", 200, R"({"projects":{}})"}}, false, kFetched + kFormat},
      {"FETCH_PROJECTS", {{"/fetch_projects", 200, "oops"}}, false,
       kFetched + error("Error in handle_fetch_projects: [json.exception.parse_error.101] parse "
                        "error at line 1, column 1: syntax error while parsing value - invalid "
                        "literal; last read: 'o'")},
      {"FETCH_PROJECTS", {{"/fetch_projects", 404, "nope"}}, false,
       error("Projects fetch failed! Status: 404\nResponse: nope")},
      {"DELETE_PROJECT p", {{"/delete_project", 200, R"({"success":true})"}}, true,
       del + success("Successfully deleted project 'p'"), {R"(/delete_project {"project_name":"p",)" + key + "}"}},
      {"DELETE_PROJECT p", {{"/delete_project", 200, R"({"error_code":"NOT_FOUND"})"}}, false,
       del + error("Failed to delete project, error code: NOT_FOUND")},
      {"DELETE_PROJECT p", {{"/delete_project", 503, ""}}, false,
       del + error("Delete project failed! Status: 503\nResponse: ")},
      // Bytes no statement uses are said, before anything is asked or sent; a quote that is never
      // closed makes no statement.
      {"DELETE_PROJECT p?;", {{"/delete_project", 200, R"({"success":true})"}}, true,
       yellow("[WARNING] Ignored, as no part of a statement: '?' (column 17), ';' (column 18)") +
           del + success("Successfully deleted project 'p'")},
      {"CREATE_PROJECT \"abcN search", {}, false,
       error("Unterminated string: the double quote at column 16 is never closed") +
           "Use COMMAND_NAME -h to find the format of a command or HELP to get the list of all "
           "valid commands\n"},
      // Text from the service cannot begin a line of its own.
      {"CREATE_PROJECT p both", {{"/create_project", 500, "down\n\033[32m[SUCCESS] forged"}}, false,
       error("Create project failed! Status: 500\nResponse: down\\n\\x1b[32m[SUCCESS] forged")},
  });
}

TEST_F(HandlerTest, Datasets) {
  const std::string init = R"(/init {"collection_name":"d","project_name":"p","user_api_key":"key-1","vector_dim":)";
  const std::string ok = success("Successfully initialized dataset 'd'");
  const std::string del = asked("dataset 'd' in project'p'");
  check({
      {"INIT_DATASET p d dense 12abc", {{"/init", 200, ""}}, true, ok, {init + R"(12,"vector_type":"dense"})"}},
      {"INIT_DATASET p d dense -3", {{"/init", 200, ""}}, true, ok, {init + R"(-3,"vector_type":"dense"})"}},
      {"INIT_DATASET p d dense 99999999999", {}, false,
       error("Error in handle_init_dataset: Vector Dim should be an integer")},
      {"INIT_DATASET p d dense 4", {{"/init", 409, "exists"}}, false,
       error("Initialize dataset failed! Status: 409\n Response: exists")},
      {"FETCH_DATASETS p",
       {{"/fetch_datasets", 200, R"j({"datasets":[{"name":"d","dimension":"(3, 4)","size":1536},{"dimension":"(0,0)","size":-1.7}]})j"}},
       true, datasets_fetched(2) + "Name: d\nDimension: (3, 4)\nSize: 1.50 KB\n" + kBorder +
           "Name: null\nDimension: (0,0)\nSize: 16777216.00 TB\n" + kBorder,
       {R"(/fetch_datasets {"project_name":"p","user_api_key":"key-1"})"}},
      {"FETCH_DATASETS p", {{"/fetch_datasets", 200, R"j({"datasets":[{"name":"d","size":1e300}]})j"}}, false,
       datasets_fetched(1) + error("Error in handle_fetch_datasets: dataset size out of range")},
      {"FETCH_DATASETS p", {{"/fetch_datasets", 200, R"({"datasets":[3]})"}}, false,
       datasets_fetched(1) + error("Error in handle_fetch_datasets: listed element is not a JSON object")},
      {"FETCH_DATASETS p", {{"/fetch_datasets", 200, R"({"datasets":null})"}}, false, kDatasets + kFormat},
      {"DELETE_DATASET p d", {{"/delete_dataset", 200, R"({"success":true})"}}, true,
       del + success("Successfully deleted dataset 'd'"),
       {R"(/delete_dataset {"dataset_name":"d","project_name":"p","user_api_key":"key-1"})"}},
      {"DELETE_DATASET p d", {{"/delete_dataset", 200, R"({"success":false,"error_code":"IN_USE"})"}}, false,
       del + error("Failed to delete dataset, error code: IN_USE")},
  });
}

TEST_F(HandlerTest, Indices) {
  using Step = std::tuple<std::string, int, std::string>;
  const Step listed{"/fetch_datasets", 200, R"({"datasets":[]})"};
  const Step started{"/attach_index", 200, R"({"success":true,"job_id":"j"})"};
  const Step finished{"/get_attach_index_status", 200, R"({"success":true,"status":"finished"})"};
  const std::string attached = "wait_time 3000\n" + success("Successfully attached index");
  const std::string del = asked("index 'i' from dataset 'd'");
  check({
      // The dataset listing only sets the poll interval: its failures do not stop the attach.
      {"ATTACH_INDEX p d i L2",
       {{"/fetch_datasets", 200, R"j({"datasets":[{"name":"d","dimension":"250000"}]})j"}, started, finished},
       true, error("Error in handle_fetch_datasets: Invalid dimension format: 250000") + attached},
      {"ATTACH_INDEX p d i L2",
       {{"/fetch_datasets", 200, R"j({"datasets":[{"name":"d","dimension":"(2000000,1)"},{"name":"d","dimension":"(5,1)"}]})j"},
        started, finished},
       true, " Number of vectors to be indexed: 2000000\n Number of vectors to be indexed: 5\n" + attached},
      {"ATTACH_INDEX p d i L2", {{"/fetch_datasets", 500, "x"}, started, finished}, true,
       error("Datasets fetch failed! Status: 500\nResponse: x") + attached},
      {"ATTACH_INDEX p d i COSINE", {listed, {"/attach_index", 500, "x"}}, false,
       error("Attach Index failed! Status: 500\nResponse:x"),
       {R"(/fetch_datasets {"project_name":"p","user_api_key":"key-1"})",
        R"(/attach_index {"collection_name":"d","dist_type":"COSINE","index_name":"i","large_index":false,"project_name":"p","user_api_key":"key-1"})"}},
      {"ATTACH_INDEX p d i L2", {listed, {"/attach_index", 200, R"({"success":false,"job_id":"j"})"}}, false,
       error("Attach Index failed!\n{\"success\":false,\"job_id\":\"j\"}")},
      {"LIST_INDEX p d", {{"/list_index_infos", 200, R"({"index_infos":[["i","L2"],["j"],[]]})"}}, true,
       success("Sucessfully fetched 3 index informations") + kBorder + "Index name: \"i\"\nDistance type: \"L2\"\n" +
           kBorder + "Index name: \"j\"\nDistance type: null\n" + kBorder +
           "Index name: null\nDistance type: null\n" + kBorder,
       {R"(/list_index_infos {"dataset_name":"d","project_name":"p","user_api_key":"key-1"})"}},
      {"LIST_INDEX p d", {{"/list_index_infos", 200, R"({"index_infos":[{"name":"i"}]})"}}, false,
       success("Sucessfully fetched 1 index informations") + kBorder +
           error("Error in list_index_infos: listed index entry is not a JSON array")},
      {"LIST_INDEX p d", {{"/list_index_infos", 200, R"({"index_infos":"i"})"}}, false, kFormat},
      {"DELETE_INDEX p d i", {{"/delete_index", 200, R"({"success":true})"}}, true,
       del + success("Successfully deleted index 'i' from dataset 'd'"),
       {R"(/delete_index {"dataset_name":"d","index_name":"i","project_name":"p","user_api_key":"key-1"})"}},
      {"DELETE_INDEX p d i", {{"/delete_index", 400, "bad"}}, false,
       del + error("Delete index failed! Status: 400\nResponse: bad")},
  });
}
// clang-format on

TEST_F(HandlerTest, AttachPollsAtTheIntervalItsDatasetSizeSets) {
  service.on("/api/fetch_datasets", 200,
             R"j({"datasets":[{"name":"other","dimension":"(9,9)"},)j"
             R"j({"name":"d","dimension":"(300000, 16)"}]})j");
  service.on("/api/attach_index", 200, R"({"success":true,"job_id":"j-1"})");
  for (const char* state : {"pending", "in_progress", "finished"}) {
    service.on("/api/get_attach_index_status", 200,
               std::string(R"({"success":true,"status":")") + state + "\"}");
  }
  CapturedOutput capture;
  EXPECT_TRUE(run_statement_line(session, "ATTACH_INDEX p d i innerProduct true"));
  EXPECT_EQ(capture.out(), " Number of vectors to be indexed: 300000\nwait_time 3000\n" +
                               success("Request in queue") +
                               success("Successfully attached index"));
  EXPECT_EQ(capture.err(),
            "\033[32m[Orvix] Attaching index 'i' to dataset 'd' with large_index=true...\033[0m\n" +
                info("Attaching index with collection_name, index_name, and dist_type: d i Inner "
                     "Product...") +
                info("Attaching index 'i' to dataset 'd'") + info("Attaching index..."));
  EXPECT_EQ(sleeps, (std::vector<long long>{3000, 3000}));
  EXPECT_EQ(bodies("/attach_index"),
            std::vector<std::string>{R"({"collection_name":"d","dist_type":"Inner Product",)"
                                     R"("index_name":"i","large_index":true,"project_name":"p",)"
                                     R"("user_api_key":"key-1"})"});
  EXPECT_EQ(bodies("/get_attach_index_status").front(),
            R"({"job_id":"j-1","user_api_key":"key-1"})");
  EXPECT_EQ(session.limiter.recorded(), 2u);  // the polls do not pass the limiter
}

TEST_F(HandlerTest, DeletionsAskFirstAndOnlyYGoesAhead) {
  for (const std::string answer : {"yes\n", " y\n", "n\n", ""}) {
    reset();
    CapturedOutput capture(answer + "rest\n");
    EXPECT_FALSE(run_statement_line(session, "DELETE_PROJECT p")) << answer;
    EXPECT_EQ(capture.out(), asked("project 'p'") + "\033[31mDeletion cancelled\033[0m\n")
        << answer;
    EXPECT_TRUE(service.requests().empty());
    if (!answer.empty()) {
      EXPECT_EQ(read_answer_line(), "rest")
          << "the answer is read from the same stream as later lines";
    }
  }
}

TEST(HandlerHelpers, SizesAndShapes) {
  const std::vector<std::pair<std::uint64_t, std::string>> sizes = {{512, "0.50 KB"},
                                                                    {1048575, "1024.00 KB"},
                                                                    {1048576, "1.00 MB"},
                                                                    {1ULL << 40, "1.00 TB"},
                                                                    {1073741823, "1024.00 MB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(to_readable_size(bytes), text) << bytes;
  EXPECT_EQ(extractFirstElement(" \t( 7 ,8 ) \n"), 7);
  for (const std::string bad : {"7", "(7,)", "(,8)", "(7,8)x", "(-7,8)"}) {
    EXPECT_THROW(extractFirstElement(bad), std::invalid_argument) << bad;
  }
  EXPECT_THROW(extractFirstElement("(99999999999,1)"), std::out_of_range);
}

// With --output json each statement writes one record: what it produced when it succeeded, its
// first error line and the service's status when it failed.
TEST_F(HandlerTest, EveryStatementWritesOneJsonRecord) {
  const std::string dir = ::testing::TempDir() + "orvix-json-" + std::to_string(getpid());
  std::ofstream(dir + ".csv") << "id,a\nx,1\n";
  std::ofstream(dir + ".libsvm") << "1 1:2\n";
  std::ofstream(dir + "-q.csv") << "1,2\n";
  const auto rows = statement_rows(dir + ".csv", dir + ".libsvm", dir + "-q.csv");
  // What each row's record holds besides "statement" and "ok", by the row's place.
  const std::map<std::size_t, json> produced = {
      {0, json::parse(R"({"projects":[{"name":"a","id":7,"application":"both"}]})")},
      {3,
       json::parse(R"({"datasets":[{"name":"d","vectors":3,"dimension":4,"size_bytes":1536}]})")},
      {6, json::parse(R"({"job_id":"j","state":"finished"})")},
      {7, json::parse(R"({"indices":[{"name":"i","metric":"L2"}]})")},
      {9, json::parse(R"({"inserted":1})")},
      {11, json::parse(R"({"inserted":2,"job_id":"j","state":"finished"})")},
      {12, json::parse(R"({"inserted":2})")},
      {13, json::parse(R"({"deleted":2})")},
      {14, json::parse(R"({"results":[{"id":"a","distance":-0.25}]})")},
      {16, json::parse(R"({"queries":[{"query_id":0,"matches":[{"id":"a","distance":1}]}]})")},
      {18, json::parse(R"({"records":1,"shards":1,"jobs":[{"job_id":"j","state":"finished",)"
                       R"("message":"ok"}]})")},
  };
  std::ostringstream records;
  session.output.records = &records;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const bool good : {true, false}) {
      SCOPED_TRACE(rows[i].statement + (good ? "" : " (failing)"));
      reset();
      for (const auto& [path, answer] : rows[i].answers) {
        service.on("/api" + path, good ? 200 : 503, good ? answer : "down");
      }
      records.str("");
      CapturedOutput capture("y\n");
      run_statement(session, rows[i].statement);
      const std::string line = records.str();
      ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
      const json record = json::parse(line);
      EXPECT_EQ(record.at("statement"), statement_keyword(rows[i].statement).value());
      EXPECT_EQ(record.at("ok"), good) << capture.out();
      if (!good) {
        EXPECT_EQ(record.at("http_status"), 503);
        EXPECT_NE(record.at("error").get<std::string>().find("503"), std::string::npos);
      } else if (produced.count(i) != 0) {
        for (const auto& [name, value] : produced.at(i).items()) {
          EXPECT_EQ(record.at(name), value) << name;
        }
      }
    }
  }
  session.output.records = nullptr;
}

}  // namespace
