#include <gtest/gtest.h>

#include "commands/datasets.h"
#include "commands/handlers.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class DatasetCommandsTest : public ServiceTest {};

TEST(ReadableSize, UnitIsChosenBeforeRounding) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0.00 KB"},          {512, "0.50 KB"},          {1536, "1.50 KB"},
      {1048575, "1024.00 KB"}, {1048576, "1.00 MB"},      {1ULL << 30, "1.00 GB"},
      {1ULL << 40, "1.00 TB"}, {~0ULL, "16777216.00 TB"}, {1073741823, "1024.00 MB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(to_readable_size(bytes), text) << bytes;
}

TEST_F(DatasetCommandsTest, InitDataset) {
  service.on("/api/init", 200, "");
  const std::vector<std::pair<std::string, std::string>> sent = {
      {"8", "8"}, {" 12abc", "12"}, {"-3", "-3"}, {"0", "0"}};
  for (const auto& [typed, value] : sent) {
    CapturedOutput capture;
    EXPECT_TRUE(handle_init_dataset(session, "p", "d", "dense", typed));
    EXPECT_EQ(capture.out(), success("Successfully initialized dataset 'd'"));
    EXPECT_EQ(bodies("/init").back(),
              R"({"collection_name":"d","project_name":"p","user_api_key":"key-1","vector_dim":)" +
                  value + R"(,"vector_type":"dense"})");
  }
  for (const std::string bad : {"abc", "", "99999999999"}) {
    CapturedOutput capture;
    EXPECT_FALSE(handle_init_dataset(session, "p", "d", "dense", bad));
    EXPECT_EQ(capture.err(),
              info("Creating dataset with project_name, dataset_name, vector_type: p d dense..."));
    EXPECT_EQ(capture.out(),
              error("Error in handle_init_dataset: Vector Dim should be an integer"));
  }
  EXPECT_EQ(bodies("/init").size(), sent.size());
  reset();
  service.on("/api/init", 409, "exists");
  CapturedOutput capture;
  EXPECT_FALSE(handle_init_dataset(session, "p", "d", "dense", "4"));
  EXPECT_EQ(capture.out(), error("Initialize dataset failed! Status: 409\n Response: exists"));
}

TEST_F(DatasetCommandsTest, FetchDatasets) {
  const std::string head = success("Datasets fetch succeeded");
  struct Case {
    std::string body;
    bool ok;
    std::string out;
  };
  const std::vector<Case> cases = {
      {R"({"datasets":[]})", true,
       head + success("Successfully fetched 0 datasets from project 'p'") + kBorder},
      {R"j({"datasets":[{"name":"d","dimension":"(3, 4)","size":1536},{"name":"e","dimension":"(0,0)","size":-1.7}]})j",
       true,
       head + success("Successfully fetched 2 datasets from project 'p'") + kBorder +
           "Name: d\nDimension: (3, 4)\nSize: 1.50 KB\n" + kBorder +
           "Name: e\nDimension: (0,0)\nSize: 16777216.00 TB\n" + kBorder},
      {R"j({"datasets":[{"dimension":"(1,1)"}]})j", true,
       head + success("Successfully fetched 1 datasets from project 'p'") + kBorder +
           "Name: null\nDimension: (1,1)\nSize: null\n" + kBorder},
      {R"j({"datasets":[{"name":"d","dimension":"(1,1)","size":"big"}]})j", false,
       head + success("Successfully fetched 1 datasets from project 'p'") + kBorder +
           error("Error in handle_fetch_datasets: [json.exception.type_error.302] type must be "
                 "number, but is string")},
      {R"j({"datasets":[{"name":"d","dimension":"(1,1)","size":1e300}]})j", false,
       head + success("Successfully fetched 1 datasets from project 'p'") + kBorder +
           error("Error in handle_fetch_datasets: dataset size out of range")},
      {R"({"datasets":[3]})", false,
       head + success("Successfully fetched 1 datasets from project 'p'") + kBorder +
           error("Error in handle_fetch_datasets: listed element is not a JSON object")},
      {R"({"datasets":null})", false, head + error("Server returned incorrect response format")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/fetch_datasets", 200, c.body);
    CapturedOutput capture;
    EXPECT_EQ(handle_fetch_datasets(session, "p"), c.ok) << c.body;
    EXPECT_EQ(capture.out(), c.out) << c.body;
    EXPECT_EQ(capture.err(), info("Fetching dataset info of project p..."));
  }
}

TEST_F(DatasetCommandsTest, DeleteDataset) {
  const std::vector<std::tuple<int, std::string, bool, std::string>> cases = {
      {200, R"({"success":true})", true, success("Successfully deleted dataset 'd'")},
      {200, R"({"success":false,"error_code":"IN_USE"})", false,
       error("Failed to delete dataset, error code: IN_USE")},
      {502, "gateway", false, error("Delete dataset failed! Status: 502\nResponse: gateway")},
  };
  for (const auto& [status, body, ok, out] : cases) {
    reset();
    service.on("/api/delete_dataset", status, body);
    CapturedOutput capture;
    EXPECT_EQ(handle_delete_dataset(session, "p", "d"), ok);
    EXPECT_EQ(capture.out(), out);
    EXPECT_EQ(bodies("/delete_dataset"),
              std::vector<std::string>{
                  R"({"dataset_name":"d","project_name":"p","user_api_key":"key-1"})"});
  }
}

}  // namespace
