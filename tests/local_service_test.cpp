// Orvix Local's API called in-process: answers, users kept apart, searches, and jobs that meet
// deleted datasets and restarts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <random>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "client/payload.h"
#include "server/body_follower.h"
#include "server/codec.h"
#include "server/csv_stream.h"
#include "server/job_inputs.h"
#include "server/jobs.h"
#include "server/json_outline.h"
#include "server/local_service.h"
#include "server/shard_prefetch.h"
#include "server/shard_records.h"
#include "server/sqlite_db.h"
#include "server/vector_file.h"
#include "tests/support/job_wait.h"

namespace {

using orvix_local::json;
using orvix_local::LocalService;

json with(json base, const json& more) {
  base.update(more);
  return base;
}

// The service in-process, with its database in a directory of the test's own.
class LocalServiceTest : public ::testing::Test {
 protected:
  LocalServiceTest() {
    std::filesystem::create_directories(dir_);
    open();
  }
  ~LocalServiceTest() override {
    service_.reset();
    std::filesystem::remove_all(dir_);
  }
  // Opens the service again on the same database, as a restart would.
  void open() {
    service_.reset();
    orvix_local::ServiceLimits limits;
    limits.feed_batch_bytes = 24;  // float32 shards stored three vectors of two at a time
    service_ = std::make_unique<LocalService>(dir_, std::set<std::string>{"k1", "k2"}, limits);
  }

  json call(const std::string& endpoint, json body, int expected_status = 200,
            const std::string& key = "k1") {
    body["user_api_key"] = key;
    auto [status, answer] = service_->call(endpoint, body.dump());
    EXPECT_EQ(status, expected_status) << endpoint << " " << answer.dump();
    return answer;
  }

  json job(const std::string& id, const std::string& key = "k1") {
    return testing_support::ended_job(
        [&] {
          return call("get_upload_data_status", {{"job_id", id}}, 200, key);
        },
        id);
  }

  // A dataset in one of `key`'s projects; the project is made first when it is new.
  void dataset(const std::string& name, const std::string& type, int dim,
               const std::string& key = "k1", const std::string& project = "p") {
    json made = {{"project_name", project}, {"application", "search"}, {"user_api_key", key}};
    service_->call("create_project", made.dump());
    call("init",
         {{"project_name", project},
          {"collection_name", name},
          {"vector_type", type},
          {"vector_dim", dim}},
         200, key);
  }

  // A dense batch of random vectors named prefix0, prefix1, ... with an "owner" attribute.
  static json batch(const std::string& project, const std::string& name, int count, int dim,
                    const std::string& prefix) {
    std::mt19937 random(count + dim);
    std::normal_distribution<float> value;
    json body = {{"project_name", project}, {"collection_name", name}};
    for (int i = 0; i < count; ++i) {
      body["string_ids"].push_back(prefix + std::to_string(i));
      json v = json::array();
      for (int d = 0; d < dim; ++d) v.push_back(static_cast<double>(value(random)));
      body["data"].push_back(v);
      body["attributes"].push_back({{"owner", prefix}});
    }
    body["checksum"] = rest_client::calculate_sha256(body["data"].dump());
    return body;
  }

  json attach(const std::string& index, const std::string& dist, bool large,
              const std::string& key = "k1", const std::string& project = "p",
              const std::string& name = "d") {
    return call("attach_index",
                {{"project_name", project},
                 {"collection_name", name},
                 {"index_name", index},
                 {"dist_type", dist},
                 {"large_index", large}},
                200, key);
  }

  json upload(json options, const std::string& data, const std::string* ids = nullptr) {
    const auto packed = rest_client::gzipCompress({data.begin(), data.end()}, -1);
    options["file_data"] = rest_client::base64_encode(packed.data(), packed.size());
    options["checksum"] = rest_client::calculate_sha256(options["file_data"]);
    if (ids) {
      const auto packed_ids = rest_client::gzipCompress({ids->begin(), ids->end()}, -1);
      options["string_id_txt"] = rest_client::base64_encode(packed_ids.data(), packed_ids.size());
    }
    options["project_name"] = "p";
    options.emplace("dataset_name", "d");
    return job(call("upload", options).at("job_id"));
  }

  json search(json query, const std::string& index = "i", const std::string& key = "k1",
              const std::string& project = "p", const std::string& name = "d") {
    query["project_name"] = project;
    query["collection_name"] = name;
    query["index_name"] = index;
    return call("search", query, 200, key).at("results");
  }

  std::vector<std::string> ids_found(json query, const std::string& index = "i") {
    std::vector<std::string> ids;
    const json results = search(query, index);
    for (const auto& hit : results) ids.push_back(hit.at("idx"));
    if (ids.empty()) ADD_FAILURE() << query.dump() << " -> " << results.dump();
    return ids;
  }

  json datasets(const std::string& key = "k1", const std::string& project = "p") {
    return call("fetch_datasets", {{"project_name", project}}, 200, key).at("datasets");
  }

  const std::string dir_ = ::testing::TempDir() + "orvix-service-" + std::to_string(getpid()) +
                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::unique_ptr<LocalService> service_;
};

TEST_F(LocalServiceTest, RefusesBadRequestsAndKeepsServing) {
  EXPECT_EQ(service_->call("fetch_projects", R"({"user_api_key":"nope"})").first, 401);
  EXPECT_EQ(service_->call("fetch_projects", "{").first, 400);
  EXPECT_EQ(service_->call("fetch_projects", "[]").first, 400);
  EXPECT_EQ(service_->call("no_such_endpoint", "{}").first, 404);
  call("create_project", {{"project_name", 5}, {"application", "both"}}, 400);
  call("create_project", {{"project_name", "p"}, {"application", "other"}}, 400);
  call("create_project", {{"project_name", "p"}, {"application", "both"}});
  call("create_project", {{"project_name", "p"}, {"application", "both"}}, 409);
  const json init = {{"project_name", "p"}, {"collection_name", "d"}, {"vector_type", "dense"}};
  call("init", with(init, {{"vector_dim", "3"}}), 400);
  call("init", with(init, {{"vector_dim", 3}, {"project_name", "x"}}), 404);
  call("fetch_datasets", {{"project_name", "missing"}}, 404);
  EXPECT_EQ(call("delete_project", {{"project_name", "missing"}}),
            json::parse(R"({"success":false,"error_code":"PROJECT_NOT_FOUND"})"));
  call("get_upload_data_status", {{"job_id", "job-none"}}, 404);
  EXPECT_EQ(call("fetch_projects", json::object()).at("projects").size(), 1u);
}

TEST_F(LocalServiceTest, UsersSeeOnlyTheirOwnProjects) {
  call("create_project", {{"project_name", "p"}, {"application", "search"}});
  call("create_project", {{"project_name", "p"}, {"application", "both"}}, 200, "k2");
  EXPECT_EQ(
      call("fetch_projects", json::object(), 200, "k2").at("projects").at(0).at("application"),
      "both");
  EXPECT_TRUE(call("delete_project", {{"project_name", "p"}}, 200, "k2").at("success"));
  EXPECT_EQ(call("fetch_projects", json::object()).at("projects").size(), 1u);
}

TEST_F(LocalServiceTest, InsertsAreCheckedAndAllOrNothing) {
  dataset("d", "dense", 2);
  const json base = {{"project_name", "p"}, {"collection_name", "d"}};
  auto add = [&](const std::string& id, json data) {
    return call("add_data", with(base, {{"string_id", id}, {"data", data}}))
        .at("error_code")
        .get<std::string>();
  };
  EXPECT_EQ(add("a", {1.0, 2.0}), "Success");
  EXPECT_EQ(add("a", {1.0, 2.0}), "DUPLICATE_STRING_ID");
  EXPECT_EQ(add("b", {1.0}), "DIMENSION_MISMATCH");
  EXPECT_EQ(add("c", json::array({json::array({1, 2.0})})), "VECTOR_TYPE_MISMATCH");

  json twice = base;
  // The id in use named wherever it falls: alone, or among many stored together.
  for (const std::size_t count : {2, 70}) {
    twice["string_ids"] = json::array();
    twice["data"] = json::array();
    for (std::size_t i = 0; i < count; ++i) {
      twice["string_ids"].push_back(
          i == std::min<std::size_t>(40, count - 1) ? "a" : "x" + std::to_string(i));
      twice["data"].push_back({0.0, 1.0});
    }
    twice["checksum"] = rest_client::calculate_sha256(twice["data"].dump());
    const json answer = call("add_data_batch", twice);
    EXPECT_EQ(answer.at("checksum_server"), twice["checksum"]);
    const json failed = job(answer.at("job_id"));
    EXPECT_EQ(failed.at("status"), "failed");
    EXPECT_EQ(failed.value("error", ""), "string id 'a' is already in use") << count;
  }

  EXPECT_EQ(call("remove_data", with(base, {{"string_ids", {"a", "zz"}}})).at("error_code"),
            "STRING_ID_NOT_FOUND");
  EXPECT_EQ(datasets().at(0).at("dimension"), "(1, 2)");
  // Rows stored before the id in use was met went with the failed job.
  EXPECT_EQ(add("x35", {1.0, 2.0}), "Success");

  // The checksum is of the data's bytes as sent, in whatever layout and number form.
  const std::string data = "[ [-0.06531, 1e-3] ]";
  const std::string sent = R"({"user_api_key":"k1","project_name":"p","collection_name":"d",)"
                           R"("string_ids":["short"],"checksum":")" +
                           rest_client::calculate_sha256(data) + R"(","data":)" + data + "}";
  const auto [status, shortest] = service_->call("add_data_batch", sent);
  ASSERT_EQ(status, 200) << shortest.dump();
  EXPECT_EQ(job(shortest.at("job_id")).at("status"), "finished");
  // Sizes are bytes: a vector with non-ASCII text leaves nothing behind when removed.
  const json size_before = datasets().at(0).at("size");
  EXPECT_EQ(
      call("add_data",
           with(base, {{"string_id", "é"}, {"data", {1.0, 2.0}}, {"attributes", {{"k", "ü€"}}}}))
          .at("error_code"),
      "Success");
  call("remove_data", with(base, {{"string_ids", {"é"}}}));
  EXPECT_EQ(datasets().at(0).at("size"), size_before);
}

// Float32 values as a binary shard's bytes.
std::string float_bytes(const std::vector<float>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4);
}

TEST_F(LocalServiceTest, UploadShardsOfEveryFormat) {
  dataset("d", "dense", 2);
  const std::string ids = "u\nv\n";
  struct Case {
    json options;
    std::string data;
    const std::string* ids;
    std::string status;
    std::string message;
  };
  // clang-format off
  // The first rows with attributes come after rows without.
  const std::vector<Case> cases = {
      {{{"file_format", "json"}, {"has_field_names", true}, {"vector_data_field_name", "v"},
        {"vector_id_field_name", "id"}}, R"([{"id":"j1","v":[1,1]},{"id":77,"v":[2,2]}])", nullptr,
       "finished", "Inserted 2 vectors"},
      {{{"file_format", "csv"}, {"has_field_names", true}, {"vector_id_field_name", "id"},
        {"vector_attributes", {"tag"}}}, "id,x,tag,y\r\nc1,1,red,2\nc2,3,blue,4\n", nullptr,
       "finished", "Inserted 2 vectors"},
      {{{"file_format", "json"}, {"has_field_names", false}}, "[[9,9],[8,8]]", &ids, "finished",
       "Inserted 2 vectors"},
      {{{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "uint8"}}, "\x01\x02",
       nullptr, "finished", "Inserted 1 vectors"},
      {{{"file_format", "json"}, {"has_field_names", false}}, "[[1,2],[3]]", nullptr, "failed",
       "vector '8' has 1 values; dataset 'd' has dimension 2"},
      {{{"file_format", "json"}, {"has_field_names", false}}, "[[1,2]]", &ids, "failed",
       "the shard has 1 records but 2 string ids"},
      // Stored in batches while read: a bad vector in the last batch takes the stored ones along.
      {{{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "float32"}},
       float_bytes({5, 5, 6, 6, 7, 7, 8, 8, 9, NAN}), nullptr, "failed",
       "vector 5 holds a value that is not finite"},
      {{{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "float32"}},
       float_bytes({20, 20, 21, 21, 22, 22, 23, 23}), nullptr, "finished", "Inserted 4 vectors"},
      // A CSV shard too is stored in batches: a bad line in the second takes the first along.
      {{{"file_format", "csv"}, {"has_field_names", false}},
       "1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n1,1\n2,x\n", nullptr,
       "failed", "line 14, column 2: \"x\" is not a number"},
  };
  // clang-format on
  for (const auto& c : cases) {
    const json state = upload(c.options, c.data, c.ids);
    EXPECT_EQ(state.at("status"), c.status) << c.data << " " << state.dump();
    EXPECT_EQ(state.value(c.status == "finished" ? "error_message" : "error", ""), c.message);
  }
  EXPECT_EQ(datasets().at(0).at("dimension"), "(11, 2)");
  attach("i", "L2", false);
  EXPECT_EQ(ids_found({{"query_type", "vector"}, {"query_vector", {3, 4.1}}, {"top_k", 1}}),
            std::vector<std::string>{"c2"});
  EXPECT_EQ(ids_found({{"query_type", "vector"}, {"query_vector", {23, 23}}, {"top_k", 1}}),
            std::vector<std::string>{"10"});
  EXPECT_EQ(ids_found({{"query_type", "vector"}, {"query_vector", {9, 9}}, {"top_k", 2}}),
            (std::vector<std::string>{"u", "v"}));
  const json blue = {{"attribute", "tag"}, {"type", "equality"}, {"target_values", {"blue"}}};
  const json by_blue = {{"query_type", "row"}, {"row_number", 0}, {"top_k", 10}, {"filter", blue}};
  EXPECT_EQ(ids_found(by_blue), std::vector<std::string>{"c2"});
  call("remove_data", {{"project_name", "p"}, {"collection_name", "d"}, {"string_ids", {"77"}}});
  EXPECT_EQ(ids_found(by_blue), std::vector<std::string>{"c2"}) << "after a removal before it";
  const json bad = {{"file_format", "libsvm"},
                    {"file_data", "AAAA"},
                    {"checksum", "0"},
                    {"project_name", "p"},
                    {"dataset_name", "d"}};
  EXPECT_EQ(job(call("upload", bad).at("job_id")).at("error"),
            "checksum of \"file_data\" does not match");
}

TEST_F(LocalServiceTest, GraphSearchAgreesWithAnExactScan) {
  dataset("d", "dense", 16);
  const json vectors = batch("p", "d", 3000, 16, "v");
  ASSERT_EQ(job(call("add_data_batch", vectors).at("job_id")).at("status"), "finished");
  for (const std::string dist : {"L2", "Cosine", "Inner Product"}) attach(dist, dist, true);
  // An ordinary index scans exactly: every row finds itself first.
  attach("exact", "L2", false);
  for (int row : {0, 1234, 2999}) {
    EXPECT_EQ(ids_found({{"query_type", "row"}, {"row_number", row}, {"top_k", 1}}, "exact"),
              std::vector<std::string>{"v" + std::to_string(row)});
  }
  std::mt19937 random(11);
  std::normal_distribution<float> value;
  for (const std::string dist : {"L2", "Cosine", "Inner Product"}) {
    std::size_t agreed = 0;
    for (int q = 0; q < 20; ++q) {
      json vector = json::array();
      for (int d = 0; d < 16; ++d) vector.push_back(static_cast<double>(value(random)));
      const auto graph =
          ids_found({{"query_type", "vector"}, {"query_vector", vector}, {"top_k", 10}}, dist);
      // The exact answer: every distance computed here.
      std::vector<std::pair<double, std::string>> scored;
      for (std::size_t i = 0; i < vectors["data"].size(); ++i) {
        double dotp = 0, na = 0, nb = 0, l2 = 0;
        for (int d = 0; d < 16; ++d) {
          const double a = vector[d].get<double>(),
                       b = static_cast<float>(vectors["data"][i][d].get<double>());
          dotp += a * b;
          na += a * a;
          nb += b * b;
          l2 += (a - b) * (a - b);
        }
        const double key = dist == "L2"       ? l2
                           : dist == "Cosine" ? -dotp / std::sqrt(na * nb)
                                              : -dotp;
        scored.emplace_back(key, vectors["string_ids"][i]);
      }
      std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
      for (int k = 0; k < 10; ++k) {
        agreed += std::count(graph.begin(), graph.end(), scored[k].second);
      }
    }
    EXPECT_GE(agreed, 190u) << dist;  // recall@10 of 0.95 or more
  }
}

TEST_F(LocalServiceTest, AQueuedJobOfADeletedDatasetNeverReachesAnotherUsersDataset) {
  dataset("d", "dense", 2);
  service_->stop_jobs();  // the first user's batch stays queued
  const std::string pending = call("add_data_batch", batch("p", "d", 5, 2, "a")).at("job_id");
  EXPECT_TRUE(call("delete_dataset", {{"project_name", "p"}, {"dataset_name", "d"}}).at("success"));
  dataset("e", "dense", 2, "k2", "q");  // the other user's dataset comes after it was deleted
  open();                               // the queued job runs now
  const json ended = job(pending);
  EXPECT_EQ(ended.at("status"), "failed");
  EXPECT_EQ(ended.at("error"), "dataset 'd' was deleted; nothing was stored");
  EXPECT_EQ(datasets("k2", "q").at(0).at("dimension"), "(0, 2)");
}

TEST_F(LocalServiceTest, EveryIndexSearchesItsOwnGraph) {
  dataset("d", "dense", 8);
  ASSERT_EQ(job(call("add_data_batch", batch("p", "d", 400, 8, "a")).at("job_id")).at("status"),
            "finished");
  job(attach("i", "L2", true).at("job_id"));
  EXPECT_EQ(
      search(
          {{"query_type", "vector"}, {"query_vector", std::vector<double>(8, 0.5)}, {"top_k", 10}})
          .size(),
      10u);
  // Same name, another metric; then another user's index and a dataset of another dimension.
  call("delete_index", {{"project_name", "p"}, {"dataset_name", "d"}, {"index_name", "i"}});
  job(attach("i", "Cosine", true).at("job_id"));
  dataset("e", "dense", 16, "k2", "q");
  ASSERT_EQ(job(call("add_data_batch", batch("q", "e", 300, 16, "b"), 200, "k2").at("job_id"), "k2")
                .at("status"),
            "finished");
  job(attach("i", "Cosine", true, "k2", "q", "e").at("job_id"), "k2");
  const struct {
    std::string key, project, name, prefix;
    int dim;
  } cases[] = {{"k1", "p", "d", "a", 8}, {"k2", "q", "e", "b", 16}};
  for (const auto& c : cases) {
    const json query = {{"query_type", "vector"},
                        {"query_vector", std::vector<double>(c.dim, 0.25)},
                        {"top_k", 10}};
    const json found = search(query, "i", c.key, c.project, c.name);
    ASSERT_EQ(found.size(), 10u) << c.name;
    for (const auto& hit : found) {
      EXPECT_EQ(hit.at("idx").get<std::string>().substr(0, 1), c.prefix) << hit.dump();
      EXPECT_LE(std::abs(hit.at("distance").get<double>()), 1.0 + 1e-6) << hit.dump();
    }
  }
}

TEST_F(LocalServiceTest, JobsOutliveARestart) {
  dataset("d", "dense", 2);
  const std::string done = call("add_data_batch", batch("p", "d", 3, 2, "x")).at("job_id");
  ASSERT_EQ(job(done).at("status"), "finished");
  service_->stop_jobs();
  const std::string queued = call("add_data_batch", batch("p", "d", 4, 2, "y")).at("job_id");
  const std::string cut = call("add_data_batch", batch("p", "d", 5, 2, "z")).at("job_id");
  {  // as if the service died while this job ran
    orvix_local::Database db(dir_ + "/orvix.db");
    orvix_local::Statement running(db, "UPDATE jobs SET status = 'in_progress' WHERE id = ?");
    running.bind(1, cut).run();
  }
  open();
  EXPECT_EQ(job(done).at("error_message"), "Inserted 3 vectors");
  EXPECT_EQ(job(queued).at("error_message"), "Inserted 4 vectors");
  EXPECT_EQ(job(cut).at("error"), "the service stopped while this job ran; nothing was stored");
  EXPECT_EQ(datasets().at(0).at("dimension"), "(7, 2)");
  // An attach cut short by a kill leaves no index: it can be attached again.
  const std::string attaching = attach("g", "L2", true).at("job_id");
  ASSERT_EQ(job(attaching).at("status"), "finished");
  service_.reset();
  {
    orvix_local::Database db(dir_ + "/orvix.db");
    orvix_local::Statement running(db, "UPDATE jobs SET status = 'in_progress' WHERE id = ?");
    running.bind(1, attaching).run();
  }
  open();
  EXPECT_EQ(job(attaching).at("status"), "failed");
  EXPECT_EQ(call("list_index_infos", {{"project_name", "p"}, {"dataset_name", "d"}})
                .at("index_infos")
                .size(),
            0u);
  EXPECT_EQ(job(attach("g", "L2", true).at("job_id")).at("status"), "finished");
  // Ids given by the service stay unique after a removal and a restart.
  dataset("d2", "dense", 2);
  for (int round = 0; round < 3; ++round) {
    const json csv = {{"file_format", "csv"}, {"has_field_names", false}, {"dataset_name", "d2"}};
    EXPECT_EQ(upload(csv, "1,2\n3,4\n").value("error", ""), "") << round;
    if (round == 0) {
      call("remove_data",
           {{"project_name", "p"}, {"collection_name", "d2"}, {"string_ids", {"0"}}});
    }
    open();
  }
  EXPECT_EQ(datasets().at(1).at("dimension"), "(5, 2)");
}

TEST_F(LocalServiceTest, JobsSubmittedWhileTheStoreIsWrittenAreAnsweredAtOnceAndKept) {
  dataset("d", "dense", 2);
  orvix_local::Database other(dir_ + "/orvix.db");
  // Held as a long job's store holds it.
  auto holding = std::make_unique<orvix_local::Transaction>(other);
  auto answered = std::async(std::launch::async, [&] {
    return call("add_data_batch", batch("p", "d", 3, 2, "x")).at("job_id").get<std::string>();
  });
  const bool at_once = answered.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(at_once) << "the submit waited for another writer";
  if (at_once) {
    const std::string id = answered.get();
    EXPECT_EQ(call("get_upload_data_status", {{"job_id", id}}).at("status"), "pending");
    call("get_upload_data_status", {{"job_id", id}}, 404, "k2");
    holding.reset();
    EXPECT_EQ(job(id).at("error_message"), "Inserted 3 vectors");
    // Submitted while held, then a restart before the job could run: it runs once, then.
    service_->stop_jobs();
    holding = std::make_unique<orvix_local::Transaction>(other);
    const std::string kept = call("add_data_batch", batch("p", "d", 4, 2, "y")).at("job_id");
    holding.reset();
    open();
    EXPECT_EQ(job(kept).at("error_message"), "Inserted 4 vectors");
    const std::string next = call("add_data_batch", batch("p", "d", 1, 2, "z")).at("job_id");
    const auto seq = [](const std::string& id) { return std::stoll(id.substr(4)); };
    EXPECT_GT(seq(next), seq(kept));
    EXPECT_EQ(job(next).at("error_message"), "Inserted 1 vectors");
    EXPECT_EQ(datasets().at(0).at("dimension"), "(8, 2)");
  }
  holding.reset();
}

TEST_F(LocalServiceTest, ValuesKeptBesideTheDatabaseOutliveRestartsEarlierRowsAndDamage) {
  dataset("d", "dense", 2);
  attach("i", "L2", false);
  const json added = batch("p", "d", 3, 2, "x");
  ASSERT_EQ(job(call("add_data_batch", added).at("job_id")).at("status"), "finished");
  {  // a row stored by an earlier version, its values in the database
    orvix_local::Database db(dir_ + "/orvix.db");
    const float values[] = {5, 6};
    orvix_local::Statement old(db,
                               "INSERT INTO vectors(dataset_id, row, string_id, dense) "
                               "VALUES(1, 3, 'old', ?)");
    old.bind_blob(1, values, sizeof values).run();
    db.exec("UPDATE datasets SET next_row = 4, vector_count = 4 WHERE id = 1");
  }
  open();
  const json nearest_old = {{"query_type", "vector"}, {"query_vector", {5, 6}}, {"top_k", 1}};
  const json nearest_x1 = {
      {"query_type", "vector"}, {"query_vector", added.at("data").at(1)}, {"top_k", 4}};
  EXPECT_EQ(ids_found(nearest_old), std::vector<std::string>{"old"});
  EXPECT_EQ(ids_found(nearest_x1).at(0), "x1");

  // A damaged file is a storage error, and once mended the dataset loads whole, only once.
  const std::string file = dir_ + "/vectors/1.f32";
  std::string kept;
  {
    std::ifstream in(file, std::ios::binary);
    kept.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::resize_file(file, kept.size() - 1);
  open();
  json query = {{"project_name", "p"}, {"collection_name", "d"}, {"index_name", "i"}};
  query.update(nearest_x1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(call("search", query, 500).value("error_code", ""), "STORAGE_ERROR");
  }
  std::ofstream(file, std::ios::binary) << kept;
  auto found = ids_found(nearest_x1);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"old", "x0", "x1", "x2"}));

  // A deleted dataset's file goes with it.
  call("delete_dataset", {{"project_name", "p"}, {"dataset_name", "d"}});
  open();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(LocalServiceTest, RemovedRowsGiveTheirDiskSpaceBackAndNoOtherRowsValues) {
  constexpr int kDim = 1024, kCount = 64;  // a row is a whole 4 KiB block
  dataset("d", "dense", kDim);
  attach("i", "L2", false);
  const json added = batch("p", "d", kCount, kDim, "x");
  ASSERT_EQ(job(call("add_data_batch", added).at("job_id")).at("status"), "finished");
  const std::string file = dir_ + "/vectors/1.f32";
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  json gone = json::array();
  // Runs of two removed rows between runs of two kept ones.
  for (int i = 0; i < kCount; ++i) {
    if (i % 4 < 2) gone.push_back("x" + std::to_string(i));
  }
  call("remove_data", {{"project_name", "p"}, {"collection_name", "d"}, {"string_ids", gone}});
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  // Half the rows' blocks come back, less a block or two the file system takes to map the holes.
  EXPECT_GE((before.st_blocks - after.st_blocks) * 512, (kCount / 2 - 2) * kDim * 4);
  for (int i = 2; i < kCount; i += (i % 4 == 2 ? 1 : 3)) {
    const json query = {
        {"query_type", "vector"}, {"query_vector", added.at("data").at(i)}, {"top_k", 1}};
    const json hit = search(query).at(0);
    EXPECT_EQ(hit.at("idx"), "x" + std::to_string(i));
    EXPECT_EQ(hit.at("distance"), 0.0);
  }
}

TEST_F(LocalServiceTest, SearchesDuringAQueuedAttachReadAWholeGraph) {
  dataset("d", "dense", 16);
  dataset("slow", "dense", 16);
  ASSERT_EQ(job(call("add_data_batch", batch("p", "d", 3000, 16, "a")).at("job_id")).at("status"),
            "finished");
  // A long job ahead keeps the attach queued while a search asks for the graph.
  const std::string ahead = call("add_data_batch", batch("p", "slow", 20000, 16, "s")).at("job_id");
  const std::string attached = attach("i", "L2", true).at("job_id");
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  auto search_rows = [&](int first) {
    for (int row = first; !done; row = (row + 7) % 3000) {
      const json found = search({{"query_type", "row"}, {"row_number", row}, {"top_k", 3}});
      if (found.empty() || found.at(0).at("idx") != std::string("a").append(std::to_string(row)) ||
          found.at(0).at("distance") != 0.0) {
        ++wrong;
      }
    }
  };
  std::vector<std::thread> searchers;
  for (int t = 0; t < 2; ++t) searchers.emplace_back(search_rows, t * 1000);
  EXPECT_EQ(job(ahead).at("status"), "finished");
  EXPECT_EQ(job(attached).at("status"), "finished");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  done = true;
  for (auto& searcher : searchers) searcher.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(LocalServiceTest, EveryJobSettlesWhileOtherConnectionsWrite) {
  dataset("d", "dense", 2);
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; !done; ++i) {
        const json one = {
            {"user_api_key", "k1"},
            {"project_name", "p"},
            {"collection_name", "d"},
            {"string_id",
             std::string("w").append(std::to_string(w)).append("-").append(std::to_string(i))},
            {"data", {1.0, 2.0}}};
        service_->call("add_data", one.dump());
      }
    });
  }
  std::vector<std::string> jobs;
  for (int i = 0; i < 150; ++i) {
    jobs.push_back(
        call("add_data_batch",
             batch("p", "d", 2, 2, std::string("b").append(std::to_string(i)).append("-")))
            .at("job_id"));
  }
  for (const auto& id : jobs) {
    const json state = testing_support::ended_job(
        [&] {
          return call("get_upload_data_status", {{"job_id", id}});
        },
        id, std::chrono::seconds(jobs.front() == id ? 30 : 5));
    EXPECT_EQ(state.value("status", ""), "finished") << id;
  }
  done = true;
  for (auto& writer : writers) writer.join();
}

// Rows lying one after another in memory are written as one piece, cut where a write is full;
// others one a piece, past the pieces one write takes.
TEST(VectorFile, RowsInAndOutOfOrderInMemoryLandInTheirPlaces) {
  constexpr int kDim = 2;
  constexpr std::size_t kInOrder = 3 * orvix_local::kWritePiece / (kDim * 4) + 1,
                        kRows = kInOrder + 2500;
  std::vector<float> memory(kRows * kDim);
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<float>(i);
  std::vector<const float*> rows;
  for (std::size_t r = 0; r < kRows; ++r) {
    // In order, then runs of ten in order between rows taken backwards, one at a time.
    const std::size_t at = r < kInOrder || (r / 10) % 2 == 0 ? r : kRows - 1 - (r - kInOrder);
    rows.push_back(memory.data() + at * kDim);
  }
  const std::string path = ::testing::TempDir() + "orvix-values-" + std::to_string(getpid());
  ::unlink(path.c_str());
  orvix_local::write_vector_rows(path, 3, kDim, rows);
  std::ifstream file(path, std::ios::binary);
  std::vector<float> back((kRows + 3) * kDim);
  file.read(reinterpret_cast<char*>(back.data()), static_cast<std::streamsize>(back.size() * 4));
  ASSERT_EQ(file.gcount(), static_cast<std::streamsize>(back.size() * 4));
  for (std::size_t r = 0; r < kRows; ++r) {
    ASSERT_EQ(back[(r + 3) * kDim], rows[r][0]) << r;
    ASSERT_EQ(back[(r + 3) * kDim + 1], rows[r][1]) << r;
  }
  ::unlink(path.c_str());
}

TEST(Codec, Base64DecodesWhatClientsEncodeAndRefusesTheRest) {
  std::mt19937 random(7);
  // Lengths around the 32-character blocks decoded at once, and past several of them.
  for (std::size_t n = 0; n < 300; n += n < 80 ? 1 : 37) {
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    const auto text = rest_client::base64_encode(bytes.data(), bytes.size());
    EXPECT_EQ(orvix_local::base64_decode(text), std::string(bytes.begin(), bytes.end())) << n;
  }
  // Every byte outside the alphabet is refused wherever it falls in a long text.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string long_text = rest_client::base64_encode(std::string(150, 'x'));
  for (int c = 0; c < 256; ++c) {
    for (const std::size_t at : {0, 13, 31, 32, 63, 100, 160, 198}) {
      std::string text = long_text;
      text[at] = static_cast<char>(c);
      if (alphabet.find(static_cast<char>(c)) != std::string::npos) {
        EXPECT_NO_THROW(orvix_local::base64_decode(text)) << c << " at " << at;
      } else {
        EXPECT_THROW(orvix_local::base64_decode(text), std::runtime_error) << c << " at " << at;
      }
    }
  }
  for (const std::string bad : {"A===", "AB=C", "AB C", "ABC", "=AAA", "AA==AAAA",
                                "\xff\xff"
                                "AA"}) {
    EXPECT_THROW(orvix_local::base64_decode(bad), std::runtime_error) << bad;
  }
  char out[3];  // padding ends only the last piece
  EXPECT_THROW(orvix_local::base64_decode_into("AA==", out, false), std::runtime_error);
}

// A job's text is read from its input a window at a time, from any offset: what is decoded is
// the text where the job's details say it lies, across windows, and a span the file does not
// hold is refused.
TEST(WindowedInput, InflatesATextFromAnyOffsetAcrossWindows) {
  std::mt19937 random(11);
  std::vector<unsigned char> data(7 << 20);  // random bytes: base64 of over two windows
  for (auto& b : data) b = static_cast<unsigned char>(random());
  const auto packed = rest_client::gzipCompress(data, 1);
  const std::string prefix(4097, 'x');  // the text starts inside a page
  const std::string path = ::testing::TempDir() + "orvix-input-" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary)
      << prefix << rest_client::base64_encode(packed.data(), packed.size());
  const orvix_local::WindowedInput input(path);
  ::unlink(path.c_str());
  std::string out;
  orvix_local::inflate_base64(input, prefix.size(), input.size(), 8 << 20, out);
  EXPECT_TRUE(out == std::string(data.begin(), data.end()));
  EXPECT_THROW(orvix_local::inflate_base64(input, 0, input.size() + 1, 8 << 20, out),
               std::runtime_error);
}

// What is offered a job as it is submitted (its shard's read ahead) is in place before the worker
// can take the job: a worker that found nothing offered would read the shard itself while the
// read ahead read it again.
TEST(JobQueue, WorkOfferedAtSubmitIsInPlaceBeforeTheWorkerSeesTheJob) {
  const std::string dir = ::testing::TempDir() + "orvix-jobs-" + std::to_string(getpid());
  std::filesystem::create_directories(dir + "/jobs");
  {
    orvix_local::Store store(dir + "/orvix.db", dir + "/vectors");
    orvix_local::JobQueue jobs(store, dir + "/jobs");
    std::string offered;
    bool visible = true;
    const std::string id = jobs.submit("owner", "upload", 1, 0, json::object(), std::nullopt,
                                       [&](const std::string& given) {
                                         offered = given;
                                         visible = !jobs.idle();
                                       });
    EXPECT_EQ(offered, id);
    EXPECT_FALSE(visible) << "the worker could take the job before it was offered";
    EXPECT_FALSE(jobs.idle());
  }
  std::filesystem::remove_all(dir);
}

// A request's outline is the same whatever pieces its text arrives in: the members are those of
// the top-level object, named once; a value with an escape is not plain, nor hashed.
TEST(JsonOutline, ReadsTopLevelMembersAcrossPieces) {
  struct Row {
    std::string body;
    std::string data;  // the plain characters of "file_data", "-" when it is not plain
    bool key;          // whether "user_api_key" is found (its value is always "k")
    std::optional<std::size_t> too_deep;  // at a limit of three levels
  };
  const std::vector<Row> rows = {
      {"{\"a\":\"file_data\",\"file_data\" :\n \"QUJD\",\"user_api_key\":\"k\",\"z\":1}", "QUJD",
       true, std::nullopt},
      {R"({"x":{"file_data":"AA"},"file_data":"BB","user_api_key":"k"})", "BB", true, std::nullopt},
      {R"({"file_data":"A\"B","user_api_key":"k"})", "-", true, std::nullopt},
      {R"({"file_data":"A\\","user_api_key":"k"})", "-", true, std::nullopt},
      {R"({"file_data":1,"file_data":"CC","user_api_key":"k"})", "-", true, std::nullopt},
      {R"({"file_data_and_more":"x","file_data":"","user_api_key":"k"})", "", true, std::nullopt},
      {R"({"user_api_key":"k","file_data":"unended)", "-", false, std::nullopt},
      {R"({"user_api_key":"k","n":12)", "-", true, std::nullopt},
      {R"([{"user_api_key":"k"},[["]]]]"]],[[[1]]]])", "-", false, std::size_t{3}},
      {R"({"a":[["]]]]"]],"user_api_key":"k","b":[[[1]]]})", "-", true, std::size_t{3}},
  };
  for (const auto& row : rows) {
    std::optional<std::size_t> cost;
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, row.body.size()}) {
      const auto outline = orvix_local::request_outline(3, true);
      for (std::size_t at = 0; at < row.body.size(); at += piece) {
        outline->take(std::string_view(row.body).substr(at, piece));
      }
      const std::string where = row.body + " in pieces of " + std::to_string(piece);
      const auto key = outline->member("user_api_key");
      EXPECT_EQ(key.has_value(), row.key) << where;
      if (key) {
        EXPECT_EQ(row.body.substr(key->first, key->second - key->first), "\"k\"") << where;
      }
      const auto data = outline->plain_string("file_data");
      EXPECT_EQ(data ? row.body.substr(data->first, data->second - data->first) : "-", row.data)
          << where;
      EXPECT_EQ(outline->digest(),
                data ? std::optional(orvix_local::sha256_hex(row.data)) : std::nullopt)
          << where;
      EXPECT_EQ(outline->too_deep(), row.too_deep) << where;
      if (!cost) cost = outline->tree_cost();
      EXPECT_EQ(outline->tree_cost(), *cost) << where;
    }
  }
}

// A followed body is read to its end whatever pieces it arrives in, and a handler waiting on one
// never hangs: a body whose follower stops is answered at once.
TEST(BodyFollower, ReadsEveryByteOnceAndNeverLeavesAWaiterBehind) {
  struct Collect : orvix_local::BodyReader {
    std::string seen;
    void take(std::string_view bytes) override { seen.append(bytes); }
  };
  char path[] = "/tmp/orvix-follow-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
  auto follower = std::make_unique<orvix_local::BodyFollower>();
  const auto followed = follower->follow(fd, std::make_unique<Collect>());
  const auto unended = follower->follow(fd, std::make_unique<Collect>());
  ASSERT_TRUE(followed && unended);
  for (std::size_t at = 0; at < body.size(); at += 70001) {
    const std::string_view piece = std::string_view(body).substr(at, 70001);
    ASSERT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    followed->arrived(at + piece.size());
    unended->arrived(at + piece.size());
  }
  followed->complete();
  const auto* reader = dynamic_cast<const Collect*>(followed->wait());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->seen, body);
  auto waiting = std::async(std::launch::async, [&] { return unended->wait(); });
  follower.reset();
  unended->complete();
  EXPECT_EQ(waiting.get(), nullptr);
  ::close(fd);
}

// A client sends shards faster than they are stored: every one is still read ahead, in turn, and
// its job takes the first records while the rest are still being read, or before it started.
TEST(ShardPrefetch, ShardsOfferedWhileOneIsReadAreEachReadAhead) {
  orvix_local::ShardPrefetch prefetch;
  std::promise<void> open_gate;
  const std::shared_future<void> gate = open_gate.get_future().share();
  const std::vector<std::string> ids = {"a", "b", "c", "d"};
  auto one = [](const std::string& id) {
    std::vector<orvix_local::VectorRecord> batch(1);
    batch[0].id = id;
    return batch;
  };
  for (const auto& id : ids) {
    prefetch.offer(id, [&, id](orvix_local::ShardFeed& feed) {
      feed.add(one(id + "1"));
      gate.wait();
      feed.add(one(id + "2"));
    });
  }
  for (const auto& id : ids) {
    const auto feed = prefetch.take(id);
    ASSERT_NE(feed, nullptr) << id << " was not read ahead";
    std::vector<orvix_local::VectorRecord> batch;
    ASSERT_TRUE(feed->next(batch));
    EXPECT_EQ(batch.at(0).id, id + "1");
    if (id == "a") open_gate.set_value();
    ASSERT_TRUE(feed->next(batch));
    EXPECT_EQ(batch.at(0).id, id + "2");
    EXPECT_FALSE(feed->next(batch));
  }
}

TEST(ShardRecords, LibsvmAndBinary) {
  orvix_local::ShardFormat libsvm;
  libsvm.file_format = "libsvm";
  const auto sparse = orvix_local::parse_records("1 3:0.5 7:1\n\n0 2:2\n", libsvm, nullptr, {});
  ASSERT_EQ(sparse.size(), 2u);
  EXPECT_EQ(sparse[0].sparse, (std::vector<std::pair<std::uint32_t, float>>{{3, 0.5f}, {7, 1.0f}}));
  EXPECT_THROW(orvix_local::parse_records("1 x:2\n", libsvm, nullptr, {}), orvix_local::ApiError);
  orvix_local::ShardFormat binary;
  binary.file_format = "binary";
  binary.binary_dim = 1;
  binary.binary_dtype = "float32";
  const float f = 2.5f;
  EXPECT_EQ(orvix_local::parse_records(std::string(reinterpret_cast<const char*>(&f), 4), binary,
                                       nullptr, {})[0]
                .dense,
            std::vector<float>{2.5f});
  EXPECT_THROW(orvix_local::parse_records("abc", binary, nullptr, {}), orvix_local::ApiError);
}

}  // namespace

namespace {

TEST(ShardRecords, BinaryShardsDecompressedInPiecesOfAnySize) {
  std::string raw;
  for (int i = 0; i < 3000; ++i) raw += static_cast<char>(i * 7);
  const auto packed = rest_client::gzipCompress({raw.begin(), raw.end()}, 6);
  const std::string gz(packed.begin(), packed.end());
  const orvix_local::ServiceLimits limits;
  const auto whole = orvix_local::parse_records(raw, {"binary", true, "", "", {}, "", 3, "uint8"},
                                                nullptr, limits);
  for (const std::size_t piece : {1, 2, 7, 4096}) {
    orvix_local::BinaryRecords binary(3, "uint8", limits);
    orvix_local::GzipReader reader(1 << 20,
                                   [&](const char* d, std::size_t n) { binary.feed(d, n); });
    for (std::size_t at = 0; at < gz.size(); at += piece) {
      reader.feed(std::string_view(gz).substr(at, piece));
    }
    reader.finish();
    const auto records = binary.finish();
    ASSERT_EQ(records.size(), whole.size()) << piece;
    EXPECT_EQ(records.back().dense, whole.back().dense) << piece;
  }
  EXPECT_THROW(orvix_local::gunzip(gz.substr(0, gz.size() - 3), 1 << 20), std::runtime_error);
  EXPECT_THROW(orvix_local::gunzip(gz, 100), orvix_local::TooLarge);
  EXPECT_EQ(orvix_local::gunzip(gz + gz, 1 << 20), raw + raw);  // two members
}

// Float32 records point into the bytes fed; one cut across two pieces holds a copy of its own.
TEST(ShardRecords, Float32RecordsInPlaceKeepTheirValues) {
  std::vector<float> values(3 * 50);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.25f * static_cast<float>(i);
  const std::string raw(reinterpret_cast<const char*>(values.data()), values.size() * 4);
  const orvix_local::ServiceLimits limits;
  // Batches of seven records in memory lent by a pool, which holds a used batch at first, and
  // to which each batch goes back once read.
  orvix_local::KeptVectors<orvix_local::VectorRecord> batches(2);
  for (const std::size_t piece : {std::size_t{5}, std::size_t{13}, raw.size()}) {
    std::vector<orvix_local::VectorRecord> used(3);
    batches.give_back(std::move(used));
    orvix_local::BinaryRecords binary(3, "float32", limits, /*in_place=*/true, &batches, 7);
    std::vector<orvix_local::VectorRecord> records;
    const auto take = [&](std::vector<orvix_local::VectorRecord> batch) {
      for (auto& record : batch) records.push_back(std::move(record));
      batches.give_back(std::move(batch));
    };
    for (std::size_t at = 0; at < raw.size(); at += piece) {
      binary.feed(raw.data() + at, std::min(piece, raw.size() - at));
      if (binary.ready() >= 7) take(binary.take_ready());
    }
    take(binary.finish());
    ASSERT_EQ(records.size(), 50u);
    for (std::size_t r = 0; r < records.size(); ++r) {
      const auto got = records[r].dense_values();
      EXPECT_EQ(std::vector<float>(got.begin(), got.end()),
                std::vector<float>(values.begin() + 3 * r, values.begin() + 3 * r + 3))
          << "pieces of " << piece << ", record " << r;
    }
    if (piece == raw.size()) {
      EXPECT_EQ(records[49].arrived.data(), reinterpret_cast<const float*>(raw.data()) + 147);
    }
  }
}

}  // namespace

namespace {

// CSV values take a fast path when they are short plain decimals: every value must still be the
// float strtof reads, bit for bit, and every form it does not take must still be read or refused
// as before.
TEST(ShardRecords, CsvValuesAreReadExactlyAsStrtofReadsThem) {
  std::mt19937 random(7);
  std::vector<std::string> values = {
      "0.1", "-0.0",      "16777215.5",          "16777216",     "1e5",  "+1.25", " 2", "3 ", "5.",
      ".5",  "1.0000001", "0.30000001192092896", "3.4028235e38", "1e-45"};
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(random() % 100000000);
    const std::size_t point = random() % (digits.size() + 1);
    if (point < digits.size()) {
      digits = digits.substr(0, digits.size() - point) + '.' + digits.substr(digits.size() - point);
    }
    values.push_back((random() % 2 ? "-" : "") + digits);
  }
  std::string shard;
  for (const auto& value : values) shard += value + "\n";
  const auto records = orvix_local::parse_records(shard, {"csv", false, "dense", "", {}, "", 0, ""},
                                                  nullptr, orvix_local::ServiceLimits{});
  ASSERT_EQ(records.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float expected = std::strtof(values[i].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&records[i].dense.at(0), &expected, sizeof expected), 0) << values[i];
  }
  for (const std::string bad : {"1,x", "1,", "nan", "1e39", "0x1p3q"}) {
    EXPECT_THROW(orvix_local::parse_records(bad + "\n", {"csv", false, "dense", "", {}, "", 0, ""},
                                            nullptr, orvix_local::ServiceLimits{}),
                 orvix_local::ApiError)
        << bad;
  }
}

// A CSV shard read as it is decompressed, in pieces of any size through blocks far smaller than
// it, gives the records, line numbers and errors the whole shard gives: an unfinished line
// carried from block to block, a line longer than a block, ids paired across batches.
TEST(ShardRecords, CsvReadAsItArrivesAgreesWithTheWholeShard) {
  std::string many;  // a line longer than a block
  for (int i = 0; i < 40; ++i) many += ",1." + std::to_string(i);
  const std::string wide = "w" + many + "\n";
  const std::string rows = "id,x,tag,y\r\na,1,red,2\n\n" + wide + "b,3.5,blue,-4\n";
  const orvix_local::ShardFormat named{"csv", true, "dense", "id", {"tag"}, "", 0, ""};
  const orvix_local::ShardFormat plain{"csv", false, "dense", "", {}, "", 0, ""};
  const std::vector<std::string> two = {"u", "v"}, three = {"u", "v", "w"};
  struct Case {
    std::string text;
    const orvix_local::ShardFormat* format;
    const std::vector<std::string>* ids;
  };
  const std::vector<Case> cases = {{rows + rows.substr(12), &named, nullptr},
                                   {rows + "c,5,x,oops\n", &named, nullptr},
                                   {"", &named, nullptr},
                                   {"1,2\n3" + many + "\n", &plain, &two},
                                   {"1,2\n3,4", &plain, &three}};
  orvix_local::ServiceLimits limits;
  limits.feed_batch_bytes = 16;
  orvix_local::CsvStream::Texts texts(3);
  orvix_local::KeptBuffers<std::vector<float>> values(4);
  auto said = [](auto&& read) -> std::string {
    try {
      std::string out;
      for (const auto& r : read()) {
        out += r.id + ":" + r.attributes.dump() + ":";
        for (const float v : r.dense_values()) out += std::to_string(v) + ",";
        out += ";";
      }
      return out;
    } catch (const orvix_local::ApiError& e) {
      return e.what();
    }
  };
  for (const auto& c : cases) {
    const std::string whole =
        said([&] { return orvix_local::parse_records(c.text, *c.format, c.ids, limits); });
    // Pieces copied in, or written into the room the stream offers.
    for (const auto& [piece, in_room] : std::vector<std::pair<std::size_t, bool>>{
             {1, false}, {7, true}, {1000, false}, {1000, true}}) {
      std::vector<orvix_local::VectorRecord> records;
      std::vector<std::shared_ptr<const void>> kept;
      const std::string streamed = said([&] {
        orvix_local::CsvStream csv(*c.format, c.ids, limits, nullptr, texts, values,
                                   [&](auto batch, auto block) {
                                     kept.push_back(block);
                                     for (auto& r : batch) records.push_back(std::move(r));
                                   });
        for (std::size_t at = 0, n = 0; at < c.text.size(); at += n) {
          n = std::min(piece, c.text.size() - at);
          if (!in_room) {
            csv.append(c.text.data() + at, n);
            continue;
          }
          const std::span<char> room = csv.room();
          n = std::min(n, room.size());
          std::memcpy(room.data(), c.text.data() + at, n);
          csv.append(room.data(), n);
        }
        csv.finish();
        return std::move(records);
      });
      EXPECT_EQ(streamed, whole) << c.text.substr(0, 20) << " in pieces of " << piece
                                 << (in_room ? " written in its room" : "");
    }
  }
}

}  // namespace

namespace {

std::filesystem::file_time_type written(const std::string& path) {
  std::error_code missing;
  return std::filesystem::last_write_time(path, missing);
}

// A graph is built beside the jobs (another dataset's job ends while it builds), kept on disk and
// read back after a restart when it covers the same rows; rows changed while the service was down
// or removed past a quarter of the graph have it built again.
TEST_F(LocalServiceTest, GraphsAreBuiltAsideKeptOnDiskAndRenewed) {
  dataset("d", "dense", 32);
  dataset("e", "dense", 2);
  ASSERT_EQ(job(call("add_data_batch", batch("p", "d", 4000, 32, "v")).at("job_id")).at("status"),
            "finished");
  const std::string attaching = attach("i", "L2", true).at("job_id");
  EXPECT_EQ(job(call("add_data_batch", batch("p", "e", 2, 2, "w")).at("job_id")).at("status"),
            "finished");
  EXPECT_EQ(call("get_upload_data_status", {{"job_id", attaching}}).at("status"), "in_progress");
  ASSERT_EQ(job(attaching).at("status"), "finished");
  const std::string file = dir_ + "/graphs/1.hnsw";
  auto rebuilt_since = [&](std::filesystem::file_time_type before, int tries = 1000) {
    for (int i = 0; i < tries && written(file) == before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return written(file) != before;
  };
  ASSERT_TRUE(rebuilt_since({}));  // kept once built
  auto kept = written(file);
  open();
  EXPECT_EQ(ids_found({{"query_type", "row"}, {"row_number", 5}, {"top_k", 1}}),
            std::vector<std::string>{"v5"});
  EXPECT_FALSE(rebuilt_since(kept, 150));  // read back, not built again
  service_.reset();
  {
    // Every point's first neighbour names a point the file does not hold (after the 96-byte
    // head: the count, the bytes of a point, and at each point its list's length): the graph is
    // built again, not read.
    std::fstream graph(file, std::ios::in | std::ios::out | std::ios::binary);
    std::uint64_t count = 0, per_point = 0;
    graph.seekg(16);
    graph.read(reinterpret_cast<char*>(&count), 8);
    graph.read(reinterpret_cast<char*>(&per_point), 8);
    const std::uint32_t beyond = 0xfffffff0;
    for (std::uint64_t i = 0; i < count; ++i) {
      graph.seekp(static_cast<std::streamoff>(96 + i * per_point + 4));
      graph.write(reinterpret_cast<const char*>(&beyond), sizeof beyond);
    }
  }
  kept = written(file);
  open();
  EXPECT_EQ(ids_found({{"query_type", "row"}, {"row_number", 5}, {"top_k", 1}}),
            std::vector<std::string>{"v5"});
  EXPECT_TRUE(rebuilt_since(kept));
  kept = written(file);
  service_.reset();
  {
    orvix_local::Database db(dir_ + "/orvix.db");
    orvix_local::Statement gone(db, "DELETE FROM vectors WHERE string_id = 'v7'");
    gone.run();
  }
  open();
  ids_found({{"query_type", "row"}, {"row_number", 5}, {"top_k", 1}});
  EXPECT_TRUE(rebuilt_since(kept));  // it covered a row that is gone
  const auto renewed = written(file);
  json removed = json::array();
  for (int i = 0; i < 1200; ++i) removed.push_back(std::string("v").append(std::to_string(i + 10)));
  call("remove_data", {{"project_name", "p"}, {"collection_name", "d"}, {"string_ids", removed}});
  EXPECT_TRUE(rebuilt_since(renewed));
  EXPECT_EQ(search({{"query_type", "row"}, {"row_number", 0}, {"top_k", 50}}).size(), 50u);
}

// Exact scans rank in double: vectors of 128 values near 1e19 overflow a float's sums.
TEST_F(LocalServiceTest, ExactScansRankLargeValuesTruly) {
  dataset("d", "dense", 128);
  json body = batch("p", "d", 20, 128, "v");
  for (auto& vector : body["data"]) {
    for (auto& value : vector) value = value.get<double>() * 1e19;
  }
  body["checksum"] = rest_client::calculate_sha256(body["data"].dump());
  ASSERT_EQ(job(call("add_data_batch", body).at("job_id")).at("status"), "finished");
  attach("i", "Cosine", false);
  for (int row : {0, 7, 19}) {
    EXPECT_EQ(ids_found({{"query_type", "row"}, {"row_number", row}, {"top_k", 1}}),
              std::vector<std::string>{"v" + std::to_string(row)});
  }
}

}  // namespace
