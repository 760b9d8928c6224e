// Orvix Local tried as hostile and careless users would, over real HTTP: bad requests, slow
// clients, stopping with a connection half open, datasets made and deleted over and over.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "client/payload.h"
#include "server/local_service.h"
#include "tests/support/process_runner.h"
#include "tests/support/raw_http.h"

namespace {

using orvix_local::json;
using testing_support::BackgroundProcess;
using namespace testing_support;

// ---- the real server on the test port ----

class HostileClients : public ::testing::Test {
 protected:
  static constexpr int kPort = ORVIX_TEST_PORT;

  void SetUp() override {
    ::mkdir(dir_.c_str(), 0755);  // as a careless run script would make it
    start();
  }
  void TearDown() override {
    local_.reset();
    std::filesystem::remove_all(dir_);
  }
  void start() {
    local_ = std::make_unique<BackgroundProcess>(
        ORVIX_LOCAL,
        std::vector<std::string>{"--port", std::to_string(kPort), "--data-dir", dir_ + "/data",
                                 "--max-request-mb", "4", "--max-body-mb", "32", "--max-shard-mb",
                                 "16", "--max-records", "20000", "--max-results", "5000"},
        dir_ + ".log", std::map<std::string, std::string>{{"ORVIX_LOCAL_API_KEYS", kKey}});
    ASSERT_TRUE(local_->wait_for_port(kPort));
  }
  Answer call(const std::string& endpoint, json body, const std::string& key = kKey) {
    body["user_api_key"] = key;
    return http_exchange(kPort, post("/api/" + endpoint, body.dump()));
  }
  json finished_job(const Answer& started) {
    EXPECT_EQ(started.status, 200) << started.body.dump();
    const std::string id = started.body.value("job_id", "");
    for (int i = 0; i < 2000; ++i) {
      const Answer state = call("get_upload_data_status", {{"job_id", id}});
      const std::string status = state.body.value("status", "");
      if (status != "pending" && status != "in_progress") return state.body;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "job " << id << " did not end";
    return {};
  }
  bool still_answering() { return call("fetch_projects", json::object()).status == 200; }

  static constexpr const char* kKey = "hostile-test-key-0123456789";
  const std::string dir_ = ::testing::TempDir() + "orvix-hostile-" + std::to_string(getpid());
  std::unique_ptr<BackgroundProcess> local_;
};

TEST_F(HostileClients, BadRequestsAreRefusedAndTheServerStaysUpWithinItsMemory) {
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  for (const auto& [name, type] : {std::pair{"d", "dense"}, std::pair{"s", "sparse"}}) {
    ASSERT_EQ(call("init", {{"project_name", "p"},
                            {"collection_name", name},
                            {"vector_type", type},
                            {"vector_dim", 2}})
                  .status,
              200);
  }
  ASSERT_EQ(call("attach_index", {{"project_name", "p"},
                                  {"collection_name", "d"},
                                  {"index_name", "i"},
                                  {"dist_type", "L2"},
                                  {"large_index", false}})
                .status,
            200);
  const std::string key = std::string("\"user_api_key\":\"") + kKey + "\"";
  const std::string add =
      "{" + key + R"(,"project_name":"p","collection_name":"d","string_id":"x")";
  const std::string deep_attributes = nested("{\"a\":", "1", "}", 100000);
  struct Row {
    std::string name;
    std::string request;
    int status;
    std::string detail;  // part of the answer's text, or of a failed job's error
  };
  // clang-format off
  const std::vector<Row> rows = {
      {"length not a number", post("/api/fetch_projects", "{}", "abc"), 400, "Content-Length"},
      {"negative length", post("/api/fetch_projects", "{}", "-1"), 400, "Content-Length"},
      {"length 2^31", post("/api/upload", "{}", "2147483648"), 413, "--max-body-mb"},
      {"length 2^34", post("/api/fetch_projects", "{}", "17179869184"), 413, "--max-request-mb"},
      {"declared body over the request limit",
       post("/api/fetch_projects", "{}", std::to_string(5 << 20)), 413, "--max-request-mb"},
      {"attributes nested 100,000 deep",
       post("/api/add_data", add + R"(,"data":[1,2],"attributes":)" + deep_attributes + "}"), 400,
       "nested deeper than 32"},
      {"batch attributes nested deep", post("/api/add_data_batch", "{" + key +
                                       R"(,"project_name":"p","collection_name":"d",)"
                                       R"("string_ids":["a"],"data":[[1,2]],"attributes":[)" +
                                       deep_attributes + "]}"), 400, "nested deeper than 32"},
      {"value beyond float", post("/api/add_data", add + R"(,"data":[1e39,2]})"), 400, "finite"},
      {"sparse index beyond 32 bits", post("/api/add_data", "{" + key +
                                 R"(,"project_name":"p","collection_name":"s","string_id":"x",)"
                                 R"("data":[[4294967297,1.0]]})"), 400, "2^32"},
      {"missing member in delete_dataset",
       post("/api/delete_dataset", "{" + key + R"(,"project_name":"p"})"), 400, "dataset_name"},
      {"missing member in delete_index",
       post("/api/delete_index", "{" + key + R"(,"project_name":"p","dataset_name":"d"})"), 400,
       "index_name"},
      {"missing data in add_data", post("/api/add_data", add + "}"), 400, "must be an array"},
      {"query of the wrong dimension", post("/api/search", "{" + key +
                               R"(,"project_name":"p","collection_name":"d","index_name":"i",)"
                               R"("query_type":"vector","query_vector":[1,2,3]})"),
       400, "has 3 values"},
      {"answer too large", post("/api/search", "{" + key +
                               R"(,"project_name":"p","collection_name":"d","index_name":"i",)"
                               R"("query_type":"file","file_format":"csv","top_k":20000,)"
                               R"("file_data":"MSwyCg=="})"), 413, "--max-results"},
      {"zeros that decompress past the shard limit", post("/api/upload", upload_body(kKey, "d",
                        {{"file_format", "binary"}, {"binary_dim", 1}, {"binary_dtype", "uint8"}},
                        std::string(64 << 20, '\0')) .dump()), 413, "--max-shard-mb"},
      {"too many records in a shard", post("/api/upload", upload_body(kKey, "d",
                        {{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "uint8"}},
                        std::string(100000, '\1')) .dump()), 413, "--max-records"},
      {"a JSON shard nested 200,000 deep", post("/api/upload",
            upload_body(kKey, "d", {{"file_format", "json"}, {"has_field_names", false}},
                        nested("[", "", "]", 200000)) .dump()),
       200, "element 1 is nested deeper than 32 levels"},
      {"NaN in a float32 shard", post("/api/upload", upload_body(kKey, "d",
                        {{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "float32"}},
                        floats({1, 2, 3, NAN})) .dump()),
       200, "vector 2 holds a value that is not finite"},
      {"1e39 in a JSON shard", post("/api/upload",
            upload_body(kKey, "d", {{"file_format", "json"}, {"has_field_names", false}},
                        "[[1,2],[1e39,3]]") .dump()),
       200, "element 2: a value is not a finite 32-bit number"},
      {"unknown key", post("/api/fetch_projects", R"({"user_api_key":"nope"})"), 401, "Invalid"},
  };
  // clang-format on
  for (const auto& row : rows) {
    const Answer answer = http_exchange(kPort, row.request);
    EXPECT_EQ(answer.status, row.status) << row.name << ": " << answer.body.dump();
    std::string said = answer.body.dump();
    if (answer.status == 200 && answer.body.contains("job_id")) {
      const json job = finished_job(answer);
      EXPECT_EQ(job.value("status", ""), "failed") << row.name;
      said = job.value("error", "");
    }
    EXPECT_NE(said.find(row.detail), std::string::npos) << row.name << ": " << said;
    EXPECT_TRUE(still_answering()) << "after " << row.name;
  }
  // Nothing of the refused data was stored.
  const json listing = call("fetch_datasets", {{"project_name", "p"}}).body;
  EXPECT_EQ(listing.at("datasets").at(0).at("dimension"), "(0, 2)") << listing.dump();
  const std::size_t peak_mb = memory_kb(local_->pid(), "VmHWM") / 1024;
  EXPECT_LT(peak_mb, kSanitized ? 2048u : 600u);
}

TEST_F(HostileClients, KeysAndFilesStayPrivateAndTheLogCannotBeForged) {
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  http_exchange(kPort, post("/api/x%0aFORGED%201%1b[31m", "{}"));
  local_->stop(SIGTERM);
  struct stat info {};
  ASSERT_EQ(::stat((dir_ + "/data").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  for (const char* name : {"/data/orvix.db", "/data/orvix.db-wal", "/data/orvix.db-shm"}) {
    if (::stat((dir_ + name).c_str(), &info) != 0) continue;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    std::ifstream file(dir_ + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(bytes.find(kKey), std::string::npos) << "the key is stored in clear in " << name;
  }
  std::ifstream log(dir_ + ".log");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_EQ(text.find("\nFORGED"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_NE(text.find("\\x0aFORGED"), std::string::npos) << text;
}

TEST_F(HostileClients, SlowClientsStarveNobodyAndStopDoesNotWaitForThem) {
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  std::vector<std::unique_ptr<Socket>> slow;
  for (int i = 0; i < 24; ++i) {  // headers never finished, no key needed
    slow.push_back(std::make_unique<Socket>(kPort));
    slow.back()->send("POST /api/fetch_projects HTTP/1.1\r\nHost: local\r\n");
  }
  auto begun = Clock::now();
  EXPECT_TRUE(still_answering());
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(2));
  begun = Clock::now();
  EXPECT_EQ(local_->stop(SIGTERM), 0);
  EXPECT_LT(Clock::now() - begun, std::chrono::milliseconds(2500));
  slow.clear();
  start();  // the database is whole
  EXPECT_EQ(call("fetch_projects", json::object()).body.at("projects").size(), 1u);
}

TEST_F(HostileClients, DeletedDatasetsGiveTheirMemoryBack) {
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  std::mt19937 random(5);
  std::normal_distribution<float> value;
  std::vector<float> data(10000 * 32);
  for (auto& v : data) v = value(random);
  std::size_t first_kb = 0;
  for (int cycle = 0; cycle < 6; ++cycle) {
    ASSERT_EQ(call("init", {{"project_name", "p"},
                            {"collection_name", "d"},
                            {"vector_type", "dense"},
                            {"vector_dim", 32}})
                  .status,
              200);
    const json job = finished_job(
        http_exchange(kPort, post("/api/upload", upload_body(kKey, "d",
                                                             {{"file_format", "binary"},
                                                              {"binary_dim", 32},
                                                              {"binary_dtype", "float32"}},
                                                             floats(data))
                                                     .dump())));
    ASSERT_EQ(job.value("status", ""), "finished") << job.dump();
    finished_job(call("attach_index", {{"project_name", "p"},
                                       {"collection_name", "d"},
                                       {"index_name", "i"},
                                       {"dist_type", "L2"},
                                       {"large_index", true}}));
    const json found = call("search", {{"project_name", "p"},
                                       {"collection_name", "d"},
                                       {"index_name", "i"},
                                       {"query_type", "row"},
                                       {"row_number", 7},
                                       {"top_k", 1}})
                           .body;
    EXPECT_EQ(found.at("results").at(0).at("idx"), "7") << found.dump();
    ASSERT_EQ(call("delete_dataset", {{"project_name", "p"}, {"dataset_name", "d"}}).status, 200);
    if (cycle == 2) first_kb = memory_kb(local_->pid(), "VmRSS");  // past warming up
  }
  if (!kSanitized) {
    // A cycle's dataset and graph take about 6 MB; three of them kept would show.
    EXPECT_LT(memory_kb(local_->pid(), "VmRSS"), first_kb + 8 * 1024) << first_kb;
  }
}

}  // namespace
