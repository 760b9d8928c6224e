// Orvix Local's API called in-process, with an in-memory store.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "client/payload.h"
#include "server/codec.h"
#include "server/local_service.h"
#include "server/shard_records.h"

namespace {

using orvix_local::json;
using orvix_local::LocalService;

class LocalServiceTest : public ::testing::Test {
 protected:
  LocalServiceTest() : service("", {"k1", "k2"}) {}

  json call(const std::string& endpoint, json body, int expected_status = 200,
            const std::string& key = "k1") {
    body["user_api_key"] = key;
    auto [status, answer] = service.call(endpoint, body.dump());
    EXPECT_EQ(status, expected_status) << endpoint << " " << answer.dump();
    return answer;
  }

  // Waits (briefly, for real: the worker runs on its own thread) until a job has ended.
  json job(const std::string& id) {
    for (int i = 0; i < 5000; ++i) {
      json state = call("get_upload_data_status", {{"job_id", id}});
      if (state.at("status") != "pending" && state.at("status") != "in_progress") return state;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "job " << id << " did not end";
    return {};
  }

  void dataset(const std::string& name, const std::string& type, int dim) {
    call("init", {{"project_name", "p"},
                  {"collection_name", name},
                  {"vector_type", type},
                  {"vector_dim", dim}});
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
    options["dataset_name"] = "d";
    return job(call("upload", options).at("job_id"));
  }

  std::vector<std::string> ids_found(json query, const std::string& index = "i") {
    query["project_name"] = "p";
    query["collection_name"] = "d";
    query["index_name"] = index;
    std::vector<std::string> ids;
    const json answer = call("search", query);
    for (const auto& hit : answer.at("results")) ids.push_back(hit.at("idx"));
    if (ids.empty()) ADD_FAILURE() << query.dump() << " -> " << answer.dump();
    return ids;
  }

  LocalService service;
};

TEST_F(LocalServiceTest, RefusesBadRequestsAndKeepsServing) {
  EXPECT_EQ(service.call("fetch_projects", R"({"user_api_key":"nope"})").first, 401);
  EXPECT_EQ(service.call("fetch_projects", "{").first, 400);
  EXPECT_EQ(service.call("fetch_projects", "[]").first, 400);
  EXPECT_EQ(service.call("no_such_endpoint", "{}").first, 404);
  call("create_project", {{"project_name", 5}, {"application", "both"}}, 400);
  call("create_project", {{"project_name", "p"}, {"application", "other"}}, 400);
  call("create_project", {{"project_name", "p"}, {"application", "both"}});
  call("create_project", {{"project_name", "p"}, {"application", "both"}}, 409);
  call("init",
       {{"project_name", "p"},
        {"collection_name", "d"},
        {"vector_type", "dense"},
        {"vector_dim", "3"}},
       400);
  call("init",
       {{"project_name", "x"},
        {"collection_name", "d"},
        {"vector_type", "dense"},
        {"vector_dim", 3}},
       404);
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
  call("create_project", {{"project_name", "p"}, {"application", "search"}});
  dataset("d", "dense", 2);
  const json base = {{"project_name", "p"}, {"collection_name", "d"}};
  auto add = [&](const std::string& id, json data) {
    json body = base;
    body["string_id"] = id;
    body["data"] = data;
    return call("add_data", body).at("error_code").get<std::string>();
  };
  EXPECT_EQ(add("a", {1.0, 2.0}), "Success");
  EXPECT_EQ(add("a", {1.0, 2.0}), "DUPLICATE_STRING_ID");
  EXPECT_EQ(add("b", {1.0}), "DIMENSION_MISMATCH");
  EXPECT_EQ(add("c", json::array({json::array({1, 2.0})})), "VECTOR_TYPE_MISMATCH");

  json batch = base;
  batch["string_ids"] = {"x", "a"};
  batch["data"] = {{0.0, 0.0}, {1.0, 1.0}};
  batch["checksum"] = rest_client::calculate_sha256(batch["data"].dump());
  const json answer = call("add_data_batch", batch);
  EXPECT_EQ(answer.at("checksum_server"), batch["checksum"]);
  const json failed = job(answer.at("job_id"));
  EXPECT_EQ(failed.at("status"), "failed");
  EXPECT_EQ(failed.at("error"), "string id 'a' is already in use");

  json removal = base;
  removal["string_ids"] = {"a", "zz"};
  EXPECT_EQ(call("remove_data", removal).at("error_code"), "STRING_ID_NOT_FOUND");
  EXPECT_EQ(call("fetch_datasets", {{"project_name", "p"}}).at("datasets").at(0).at("dimension"),
            "(1, 2)");
}

TEST_F(LocalServiceTest, UploadShardsOfEveryFormat) {
  call("create_project", {{"project_name", "p"}, {"application", "search"}});
  dataset("d", "dense", 2);
  const std::string ids = "u\nv\n";
  struct Case {
    json options;
    std::string data;
    const std::string* ids;
    std::string status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"file_format", "csv"},
        {"has_field_names", true},
        {"vector_id_field_name", "id"},
        {"vector_attributes", {"tag"}}},
       "id,x,tag,y\r\nc1,1,red,2\nc2,3,blue,4\n",
       nullptr,
       "finished",
       "Inserted 2 vectors"},
      {{{"file_format", "csv"}, {"has_field_names", false}, {"vector_id_field_name", "3"}},
       "5,6,c3\n",
       nullptr,
       "finished",
       "Inserted 1 vectors"},
      {{{"file_format", "json"},
        {"has_field_names", true},
        {"vector_data_field_name", "v"},
        {"vector_id_field_name", "id"}},
       R"([{"id":"j1","v":[1,1]},{"id":77,"v":[2,2]}])",
       nullptr,
       "finished",
       "Inserted 2 vectors"},
      {{{"file_format", "json"}, {"has_field_names", false}},
       "[[9,9],[8,8]]",
       &ids,
       "finished",
       "Inserted 2 vectors"},
      {{{"file_format", "binary"}, {"binary_dim", 2}, {"binary_dtype", "uint8"}},
       "\x01\x02",
       nullptr,
       "finished",
       "Inserted 1 vectors"},
      {{{"file_format", "csv"}, {"has_field_names", false}},
       "1,x\n",
       nullptr,
       "failed",
       "line 1, column 2: \"x\" is not a number"},
      {{{"file_format", "json"}, {"has_field_names", false}},
       "[[1,2],[3]]",
       nullptr,
       "failed",
       "vector '9' has 1 values; dataset 'd' has dimension 2"},
      {{{"file_format", "json"}, {"has_field_names", false}},
       "[[1,2]]",
       &ids,
       "failed",
       "the shard has 1 records but 2 string ids"},
  };
  for (const auto& c : cases) {
    const json state = upload(c.options, c.data, c.ids);
    EXPECT_EQ(state.at("status"), c.status) << c.data << " " << state.dump();
    EXPECT_EQ(state.value(c.status == "finished" ? "error_message" : "error", ""), c.message);
  }
  call("attach_index", {{"project_name", "p"},
                        {"collection_name", "d"},
                        {"index_name", "i"},
                        {"dist_type", "L2"},
                        {"large_index", false}});
  EXPECT_EQ(ids_found({{"query_type", "vector"}, {"query_vector", {3, 4.1}}, {"top_k", 1}}),
            std::vector<std::string>{"c2"});
  EXPECT_EQ(ids_found({{"query_type", "vector"}, {"query_vector", {9, 9}}, {"top_k", 2}}),
            (std::vector<std::string>{"u", "v"}));
  EXPECT_EQ(
      ids_found(
          {{"query_type", "row"},
           {"row_number", 0},
           {"top_k", 10},
           {"filter", {{"attribute", "tag"}, {"type", "equality"}, {"target_values", {"blue"}}}}}),
      std::vector<std::string>{"c2"});

  json bad = {{"file_format", "libsvm"},
              {"file_data", "AAAA"},
              {"checksum", "0"},
              {"project_name", "p"},
              {"dataset_name", "d"}};
  EXPECT_EQ(job(call("upload", bad).at("job_id")).at("error"),
            "checksum of \"file_data\" does not match");
}

TEST_F(LocalServiceTest, GraphSearchAgreesWithAnExactScan) {
  call("create_project", {{"project_name", "p"}, {"application", "search"}});
  dataset("d", "dense", 16);
  std::mt19937 random(11);
  std::normal_distribution<float> value;
  json batch = {{"project_name", "p"},
                {"collection_name", "d"},
                {"string_ids", json::array()},
                {"data", json::array()}};
  for (int i = 0; i < 3000; ++i) {
    batch["string_ids"].push_back("v" + std::to_string(i));
    json v = json::array();
    for (int d = 0; d < 16; ++d) v.push_back(static_cast<double>(value(random)));
    batch["data"].push_back(v);
  }
  batch["checksum"] = rest_client::calculate_sha256(batch["data"].dump());
  ASSERT_EQ(job(call("add_data_batch", batch).at("job_id")).at("status"), "finished");
  for (const std::string dist : {"L2", "Cosine", "Inner Product"}) {
    call("attach_index", {{"project_name", "p"},
                          {"collection_name", "d"},
                          {"index_name", dist},
                          {"dist_type", dist},
                          {"large_index", true}});
  }
  // An ordinary index scans exactly: every row finds itself first.
  call("attach_index", {{"project_name", "p"},
                        {"collection_name", "d"},
                        {"index_name", "exact"},
                        {"dist_type", "L2"},
                        {"large_index", false}});
  for (int row : {0, 1234, 2999}) {
    EXPECT_EQ(ids_found({{"query_type", "row"}, {"row_number", row}, {"top_k", 1}}, "exact"),
              std::vector<std::string>{"v" + std::to_string(row)});
  }
  for (const std::string dist : {"L2", "Cosine", "Inner Product"}) {
    std::size_t agreed = 0;
    for (int q = 0; q < 20; ++q) {
      json vector = json::array();
      for (int d = 0; d < 16; ++d) vector.push_back(static_cast<double>(value(random)));
      const auto graph =
          ids_found({{"query_type", "vector"}, {"query_vector", vector}, {"top_k", 10}}, dist);
      // The exact answer: every distance computed here.
      std::vector<std::pair<double, std::string>> scored;
      for (std::size_t i = 0; i < batch["data"].size(); ++i) {
        double dotp = 0, na = 0, nb = 0, l2 = 0;
        for (int d = 0; d < 16; ++d) {
          const double a = vector[d].get<double>(),
                       b = static_cast<float>(batch["data"][i][d].get<double>());
          dotp += a * b;
          na += a * a;
          nb += b * b;
          l2 += (a - b) * (a - b);
        }
        const double key = dist == "L2"       ? l2
                           : dist == "Cosine" ? -dotp / std::sqrt(na * nb)
                                              : -dotp;
        scored.emplace_back(key, batch["string_ids"][i]);
      }
      std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
      for (int k = 0; k < 10; ++k) {
        agreed += std::count(graph.begin(), graph.end(), scored[k].second);
      }
    }
    EXPECT_GE(agreed, 190u) << dist;  // recall@10 of 0.95 or more
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

}  // namespace
