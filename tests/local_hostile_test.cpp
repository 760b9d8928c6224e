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
#include "server/http_server.h"
#include "server/local_service.h"
#include "tests/support/job_wait.h"
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
    std::filesystem::remove(dir_ + ".log");
  }
  // With the limits made small here, or with the defaults.
  void start(bool small_limits = true) {
    std::vector<std::string> args{"--port", std::to_string(kPort), "--data-dir", dir_ + "/data"};
    if (small_limits) {
      args.insert(args.end(), {"--max-request-mb", "4", "--max-body-mb", "32", "--max-shard-mb",
                               "16", "--max-records", "20000", "--max-results", "5000",
                               "--max-inflight-mb", "256", "--workers", "8"});
    }
    local_ = std::make_unique<BackgroundProcess>(
        ORVIX_LOCAL, args, dir_ + ".log",
        std::map<std::string, std::string>{{"ORVIX_LOCAL_API_KEYS", kKey}});
    ASSERT_TRUE(local_->wait_for_port(kPort));
  }
  Answer call(const std::string& endpoint, json body, const std::string& key = kKey) {
    body["user_api_key"] = key;
    return http_exchange(kPort, post("/api/" + endpoint, body.dump()));
  }
  json finished_job(const Answer& started) {
    EXPECT_EQ(started.status, 200) << started.body.dump();
    const std::string id = started.body.value("job_id", "");
    return ended_job([&] { return call("get_upload_data_status", {{"job_id", id}}).body; }, id);
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
  std::string trees = "[{}";  // 32 MiB that the JSON library would hold in about 1 GB
  while (trees.size() < (32u << 20) - 64) trees += ",{}";
  trees += "]";
  auto tree_upload = [&](const std::string& with_key) {
    return post("/api/upload", R"({"user_api_key":")" + with_key + R"(","x":)" + trees + "}");
  };
  std::string wide_line = "0";  // 4 million fields in one CSV line
  while (wide_line.size() < (8u << 20)) wide_line += ",0";
  const std::string chunked_elsewhere =
      "POST /elsewhere HTTP/1.1\r\nHost: l\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n" +
      std::string(1 << 20, 'x') + "\r\n0\r\n\r\n";
  json many_ids = upload_body(
      kKey, "d", {{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "uint8"}}, "ab");
  many_ids["string_id_txt"] = rest_client::base64_encode(gzip(std::string(15 << 20, '\n')));
  const json csv_ids = {{"file_format", "csv"},
                        {"has_field_names", true},
                        {"vector_type", "dense"},
                        {"vector_id_field_name", "id"}};
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
      {"a 32 MiB tree with an unknown key", tree_upload("nope"), 401, "Invalid API key"},
      {"a 32 MiB tree with the key", tree_upload(kKey), 413, "--max-inflight-mb"},
      {"a head of 70 KB", "POST /api/fetch_projects HTTP/1.1\r\nX: " + std::string(70000, 'a') +
       "\r\n\r\n", 431, "over 65536 bytes"},
      {"a chunked body outside the API", chunked_elsewhere, 413, "a path outside /api"},
      {"a CSV line of 4 million fields", post("/api/upload", upload_body(kKey, "d",
            {{"file_format", "csv"}, {"has_field_names", false}, {"vector_type", "dense"}},
            wide_line).dump()), 200, "more than the 66560 a line may have"},
      {"15 MiB of line breaks as string ids", post("/api/upload", many_ids.dump()), 200,
       "--max-records"},
      {"a CSV id that is not UTF-8", post("/api/upload", upload_body(kKey, "d", csv_ids,
            "id,a,b\nok,1,2\n\xff\xfe,3,4\n").dump()), 200, "line 3, column 1 is not UTF-8"},
      {"a column number past every line", post("/api/upload", upload_body(kKey, "d",
            {{"file_format", "csv"}, {"has_field_names", false}, {"vector_type", "dense"},
             {"vector_id_field_name", "99999999999"}}, "1,2\n").dump()), 200,
       "column 99999999999 is beyond"},
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
  // The checksum answered is of the top-level data, whatever named "file_data" came before it.
  const json shard = upload_body(
      kKey, "d", {{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "float32"}},
      floats({1, 2, 3, NAN}));
  const Answer decoyed = http_exchange(
      kPort, post("/api/upload", R"({"x":{"file_data":"QUJD"},)" + shard.dump().substr(1)));
  EXPECT_EQ(decoyed.body.value("checksum_server", ""), shard.at("checksum")) << decoyed.body;
  finished_job(decoyed);
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
  for (int i = 0; i < 40; ++i) {  // five times the workers; headers never finished, no key needed
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

// Out of descriptors, connections beyond them are accepted and turned away, and the service
// does not spin on the one waiting: idle, it takes no CPU, and once connections close it serves.
TEST_F(HostileClients, RunningOutOfDescriptorsCostsNoCpu) {
  if (kSanitized) {
    // The undefined-behaviour sanitizer checks a vtable through a pipe of its own: with no
    // descriptor left it reports every such check as a bad vptr and ends the service.
    GTEST_SKIP() << "the sanitizer needs descriptors of its own";
  }
  local_.reset();
  local_ = std::make_unique<BackgroundProcess>(
      "/usr/bin/prlimit",
      std::vector<std::string>{"--nofile=64:64", ORVIX_LOCAL, "--port", std::to_string(kPort),
                               "--data-dir", dir_ + "/data"},
      dir_ + ".log", std::map<std::string, std::string>{{"ORVIX_LOCAL_API_KEYS", kKey}});
  ASSERT_TRUE(local_->wait_for_port(kPort));
  std::vector<std::unique_ptr<Socket>> held;
  for (int i = 0; i < 80; ++i) held.push_back(std::make_unique<Socket>(kPort));
  auto cpu_ticks = [&] {
    std::ifstream stat("/proc/" + std::to_string(local_->pid()) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(cpu_ticks() - before, 30);  // ticks of 10 ms: less than a third of a core
  held.clear();
  // The closes reach the service in no set order with the next connection, which may still be
  // turned away with 503 "try again"; it must be served once they are in.
  Answer answer;
  for (int attempt = 0; attempt < 50; ++attempt) {
    answer = call("fetch_projects", json::object());
    if (answer.status != 503) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(answer.status, 200) << answer.body.dump();
}

TEST_F(HostileClients, DeletedDatasetsGiveTheirMemoryBack) {
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  std::mt19937 random(5);
  std::normal_distribution<float> value;
  std::vector<float> data(10000 * 32);
  for (auto& v : data) v = value(random);
  std::size_t first_kb = 0;
  // Under a sanitizer memory is not measured: two cycles show the deletions clean.
  for (int cycle = 0; cycle < (kSanitized ? 2 : 6); ++cycle) {
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

// A large answer is built from many small pieces; once sent, their memory goes back to the
// system, not to the arena of the worker that built it (eight answers of 3 MB left 500 MB).
TEST_F(HostileClients, LargeAnswersGiveTheirMemoryBack) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
  local_.reset();
  start(false);
  auto in_d = [](json more) {
    more.update({{"project_name", "p"}, {"collection_name", "d"}});
    return more;
  };
  ASSERT_EQ(call("create_project", {{"project_name", "p"}, {"application", "search"}}).status, 200);
  ASSERT_EQ(call("init", in_d({{"vector_type", "dense"}, {"vector_dim", 2}})).status, 200);
  finished_job(call("add_data", in_d({{"string_id", "x"}, {"data", {1.0, 2.0}}})));
  finished_job(call("attach_index",
                    in_d({{"index_name", "i"}, {"dist_type", "L2"}, {"large_index", false}})));
  std::string queries;
  for (int i = 0; i < 50000; ++i) queries += "1,2\n";
  const json search = in_d({{"index_name", "i"},
                            {"query_type", "file"},
                            {"file_format", "csv"},
                            {"top_k", 1},
                            {"file_data", rest_client::base64_encode(queries)}});
  const std::size_t before_kb = memory_kb(local_->pid(), "VmRSS");
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&] { EXPECT_EQ(call("search", search).status, 200); });
  }
  for (auto& client : clients) client.join();
  // Each answer is 3.5 MB of text; built as a tree first, it took 60 MB while it was made.
  EXPECT_LT(memory_kb(local_->pid(), "VmHWM"), before_kb + 150 * 1024) << before_kb;
  EXPECT_LT(memory_kb(local_->pid(), "VmRSS"), before_kb + 100 * 1024) << before_kb;
}

}  // namespace

namespace {

using namespace std::chrono_literals;

// The HTTP front on its own, with deadlines short enough to be waited out here.
class HttpFront : public ::testing::Test {
 protected:
  HttpFront() : budget_(1 << 20) {
    orvix_local::HttpLimits limits;
    limits.workers = 2;
    limits.head_time = limits.idle_time = limits.budget_wait = 300ms;
    limits.min_rate = 1 << 20;
    limits.rate_window = 1s;
    limits.body_step = 64 << 10;
    server_ = std::make_unique<orvix_local::HttpServer>(
        limits, budget_,
        [](const std::string&) {
          return orvix_local::BodyRule{900 << 10, "--max-request-mb"};
        },
        [this](orvix_local::HttpRequest& request) {
          ++handled_;
          if (request.path == "/big")
            return orvix_local::HttpAnswer{200, std::string(32 << 20, ' ')};
          return orvix_local::HttpAnswer{200, json{{"bytes", request.body.size()}}.dump()};
        });
    EXPECT_TRUE(server_->bind("127.0.0.1", 0));
    serving_ = std::thread([this] { server_->run(); });
  }
  ~HttpFront() override {
    server_->stop();
    serving_.join();
  }
  int port() const { return server_->port(); }

  orvix_local::MemoryBudget budget_;
  std::atomic<int> handled_{0};
  std::unique_ptr<orvix_local::HttpServer> server_;
  std::thread serving_;
};

TEST_F(HttpFront, OnlyWholeRequestsReachAWorkerAndEachWaitHasAnEnd) {
  struct Row {
    std::string name, request;
    std::string answer;  // the start of every answer, in order
    int handled;
  };
  const std::string head = "POST /x HTTP/1.1\r\nHost: l\r\n";
  const std::vector<Row> rows = {
      {"a body shorter than its length", head + "Content-Length: 10\r\n\r\n12345", "HTTP/1.1 408",
       0},
      {"a head that never ends", head + "X-Slow: 1\r\n", "HTTP/1.1 408", 0},
      {"two requests in one write",
       head + "Content-Length: 1\r\n\r\na" + head +
           "Content-Length: 2\r\nConnection: close\r\n\r\nbc",
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: "
       "keep-alive\r\n\r\n{\"bytes\":1}HTTP/1.1 200",
       2},
      {"a chunked body",
       head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
              "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: "
       "application/json\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"bytes\":5}",
       1},
      {"a continue asked for",
       head + "Expect: 100-continue\r\nContent-Length: 1\r\n"
              "Connection: close\r\n\r\nz",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200", 1},
      {"a body over its limit", head + "Content-Length: 1000000\r\n\r\n", "HTTP/1.1 413", 0},
      {"a chunk over the limit", head + "Transfer-Encoding: chunked\r\n\r\nFFFFF\r\n",
       "HTTP/1.1 413", 0},
      {"both lengths", head + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
       "HTTP/1.1 400", 0},
      // As HTTP/1.1 says: an empty line before a request line, an absolute-form target, a chunk
      // size with leading zeros, and HEAD answered with a head alone.
      {"an empty line first", "\r\n" + head + "Content-Length: 1\r\nConnection: close\r\n\r\na",
       "HTTP/1.1 200", 1},
      {"an absolute-form target",
       "POST http://l/x HTTP/1.1\r\nHost: l\r\nContent-Length: 1\r\nConnection: close\r\n\r\na",
       "HTTP/1.1 200", 1},
      {"a zero-padded chunk size",
       head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
              "00000000000000000003\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: "
       "close\r\n\r\n{\"bytes\":3}",
       1},
      {"HEAD", "HEAD /x HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: "
       "close\r\n\r\n",
       1},
  };
  for (const auto& row : rows) {
    handled_ = 0;
    Socket socket(port());
    socket.send(row.request);
    const std::string said = socket.receive(3000);
    EXPECT_EQ(said.substr(0, row.answer.size()), row.answer) << row.name << ": " << said;
    EXPECT_EQ(handled_, row.handled) << row.name;
    if (row.name == "HEAD") {
      EXPECT_EQ(said, row.answer);
    }
  }
  // A chunked body is held to the rate, not to the head's deadline.
  Socket slow(port());
  slow.send(head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n1\r\na\r\n");
  std::this_thread::sleep_for(500ms);
  slow.send("0\r\n\r\n");
  EXPECT_EQ(slow.receive(2000).substr(0, 12), "HTTP/1.1 200");
}

TEST_F(HttpFront, DripsHoldNoWorkerAndMemoryIsWaitedForThenRefused) {
  std::vector<std::unique_ptr<Socket>> drips;  // ten times the workers
  for (int i = 0; i < 20; ++i) {
    drips.push_back(std::make_unique<Socket>(port()));
    drips.back()->send("POST /x HTTP/1.1\r\nHost: l\r\n");
  }
  const auto begun = Clock::now();
  EXPECT_EQ(http_exchange(port(), post("/x", "{}"), 2000).status, 200);
  EXPECT_LT(Clock::now() - begun, 200ms);
  // A head alone holds nothing of the budget, whatever length it declares.
  Socket slow(port());
  slow.send("POST /x HTTP/1.1\r\nHost: l\r\nContent-Length: 819200\r\n\r\n");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(budget_.held(), 0u);
  // 800 KiB that arrived hold most of the 1 MiB budget: a second such body waits for it, then is
  // answered 503; once the first is whole and answered, the budget is free again.
  slow.send(std::string(819199, 'x'));
  std::this_thread::sleep_for(50ms);
  Socket second(port());
  second.send(post("/x", std::string(819200, 'y')));
  EXPECT_EQ(second.receive(2000).substr(0, 12), "HTTP/1.1 503");
  slow.send("x");
  EXPECT_EQ(slow.receive(2000).substr(0, 12), "HTTP/1.1 200");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(budget_.held(), 0u);
  // An answer counts until it is written; one the client does not read is cut at the rate
  // (after the window of its first burst, then one of nothing).
  Socket reader(port());
  reader.send("GET /big HTTP/1.1\r\nHost: l\r\n\r\n");
  auto held_within = [this](auto test, Clock::duration time) {
    for (const auto end = Clock::now() + time; Clock::now() < end;) {
      if (test(budget_.held())) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  };
  EXPECT_TRUE(held_within([](std::size_t held) { return held > (1u << 20); }, 2s));
  EXPECT_TRUE(held_within([](std::size_t held) { return held == 0; }, 5s));
}

// While another address waits for room, no address may grow past half the budget; a whole
// request waiting to be parsed goes before any body still arriving.
TEST(MemoryBudget, NoAddressCrowdsOutAnother) {
  orvix_local::MemoryBudget budget(1000);
  auto a = budget.open("10.0.0.1"), b = budget.open("10.0.0.2"), c = budget.open("10.0.0.3");
  EXPECT_TRUE(budget.try_grow(a, 600));  // nobody waits
  budget.waiting("10.0.0.2", 1);
  EXPECT_FALSE(budget.try_grow(a, 100));  // past half while another address waits
  EXPECT_TRUE(budget.try_grow(b, 300));
  budget.waiting("10.0.0.2", -1);
  EXPECT_TRUE(budget.try_grow(a, 50));  // nobody waits any more
  // A whole request waiting to be parsed goes first: a body may not take what would fit.
  std::atomic<bool> parsed{false};
  std::thread parse([&] { parsed = budget.grow_waiting(b, 300, std::chrono::seconds(5)); });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(budget.try_grow(c, 10));
  a.release();
  parse.join();
  EXPECT_TRUE(parsed);
  EXPECT_TRUE(budget.try_grow(c, 10));
  EXPECT_EQ(budget.held(), 610u);
}

TEST(OrvixLocalKeys, AnEmptyKeyListIsRefusedAndNoKeyAtAllIsSaid) {
  const std::string empty = ::testing::TempDir() + "orvix-no-keys";
  std::ofstream(empty) << "\n\n";
  const struct {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> env;
    std::string said;
  } rows[] = {
      {{"--api-key", ""}, {}, "--api-key was given an empty key"},
      {{"--api-key-file", empty}, {}, "holds no key"},
      {{}, {{"ORVIX_LOCAL_API_KEYS", " , "}}, "ORVIX_LOCAL_API_KEYS holds no key"},
  };
  for (const auto& row : rows) {
    ProcessOptions options;
    options.arguments = row.arguments;
    options.arguments.insert(options.arguments.end(), {"--in-memory", "--port", "1"});
    options.env = row.env;
    const ProcessResult result = run_process(ORVIX_LOCAL, options);
    EXPECT_EQ(result.exit_status, 2) << row.said;
    EXPECT_NE(result.err.find(row.said), std::string::npos) << result.err;
  }
  const std::string log = ::testing::TempDir() + "orvix-default-key.log";
  {
    BackgroundProcess local(ORVIX_LOCAL, {"--in-memory", "--port", std::to_string(ORVIX_TEST_PORT)},
                            log);
    ASSERT_TRUE(local.wait_for_port(ORVIX_TEST_PORT));
  }
  std::ifstream said(log);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(said), {}).find("default key"),
            std::string::npos);
}

}  // namespace
