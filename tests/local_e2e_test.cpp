// The real client against a real Orvix Local on the test port.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/capture.h"
#include "tests/support/process_runner.h"

namespace {

using namespace testing_support;

class LocalEndToEnd : public ::testing::Test {
 protected:
  void start(const std::vector<std::string>& extra = {"--in-memory"}) {
    std::vector<std::string> args = {"--port", std::to_string(ORVIX_TEST_PORT), "--api-key",
                                     "e2e-key"};
    args.insert(args.end(), extra.begin(), extra.end());
    local_ = std::make_unique<BackgroundProcess>(ORVIX_LOCAL, args, dir_ + "local.log");
    ASSERT_TRUE(local_->wait_for_port(ORVIX_TEST_PORT));
  }

  ProcessResult orvix(std::vector<std::string> args, const std::string& input = "") {
    return run_process(ORVIX_UNDER_TEST,
                       {std::move(args), {{"ORVIX_API_KEY", "e2e-key"}}, input, 60000});
  }

  std::string file(const std::string& name, const std::string& contents) {
    std::ofstream(dir_ + name, std::ios::binary) << contents;
    return dir_ + name;
  }

  // A prefix of this process's own, so that test binaries running side by side never share files.
  std::string dir_ = ::testing::TempDir() + "orvix-e2e-" + std::to_string(getpid()) + "-";
  std::unique_ptr<BackgroundProcess> local_;
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(LocalEndToEnd, EveryStatementAsAPipedScript) {
  start();
  const std::string query = file("query.csv", "1,0,0\n0,0,1\n");
  // Three scripts, each within the client's limit of ten requests in three seconds.
  const std::vector<std::string> scripts = {
      "CREATE_PROJECT p both\n"
      "INIT_DATASET p d dense 3\n"
      "INIT_DATASET p other dense 3\n"
      "INSERT_VECTOR p d a [1, 0, 0] --vector_attributes [color:red]\n"
      "INSERT_VECTOR_BATCH p d [b, c] [[0, 1, 0], [0, 0, 1]] --vector_attributes [[color:blue], "
      "[color:red]]\n"
      "INSERT_VECTOR p other q [0, 0.9, 0.1]\n"
      "ATTACH_INDEX p d i L2\n",
      "LIST_INDEX p d\n"
      "FETCH_PROJECTS\n"
      "FETCH_DATASETS p\n"
      "SEARCH p d i vector --query_vector [0.9, 0.1, 0] --top_k 1\n"
      "SEARCH p d i row --row_number 2 --top_k 1\n"
      "SEARCH p d i file --file_path " +
          query +
          " --file_type csv --top_k 1\n"
          "SEARCH p d i dataset --query_dataset_name other --top_k 1\n"
          "SEARCH p d i vector --query_vector [1, 0, 0] --filter_attribute color --filter_type "
          "equality --target_values [red] --top_k 5\n",
      "DELETE_VECTOR p d [a]\n"
      "SEARCH p d i vector --query_vector [1, 0, 0] --top_k 1\n"
      "DELETE_INDEX p d i\ny\n"
      "DELETE_DATASET p other\ny\n"
      "DELETE_PROJECT p\ny\n"
      "FETCH_PROJECTS\n"};
  std::string out;
  for (const auto& script : scripts) {
    const auto result = orvix({}, script);
    EXPECT_EQ(result.exit_status, 0);
    out += result.out;
  }
  for (const std::string expected :
       {"Create project 'p' succeeded", "Successfully initialized dataset 'd'",
        "Successfully inserted vector", "Upload Finished.", "Successfully attached index",
        "Index name: \"i\"\nDistance type: \"L2\"", "Project Name: \"p\"",
        "Name: d\nDimension: (3, 3)", "retrieved top-1 vectors",
        "Distance/Similarity: 0.141421\nID: \"a\"", "Distance/Similarity: 0\nID: \"c\"",
        "found 2 search results", "Query vector: 0", "Query vector: \"q\"",
        "Successfully deleted 1 vectors from dataset d", "Successfully deleted index 'i'",
        "Successfully deleted dataset 'other'", "Successfully deleted project 'p'",
        "Sucessfully fetched 0 projects"}) {
    EXPECT_TRUE(has(out, expected)) << expected << "\n" << out;
  }
  // The filtered search finds the two red vectors only.
  const auto filtered = out.find("retrieved top-2 vectors");
  ASSERT_NE(filtered, std::string::npos) << out;
  EXPECT_TRUE(has(out.substr(filtered, 200), "ID: \"a\"") &&
              has(out.substr(filtered, 200), "ID: \"c\""));
  EXPECT_FALSE(has(out, "[ERROR]")) << out;
}

TEST_F(LocalEndToEnd, UploadsOfEveryFormatAreFoundByTheirIds) {
  start();
  ASSERT_EQ(orvix({"CREATE_PROJECT", "p", "search"}).exit_status, 0);
  for (const std::string d : {"csv", "json", "bin"}) {
    ASSERT_EQ(orvix({"INIT_DATASET", "p", d, "dense", "2"}).exit_status, 0);
  }
  ASSERT_EQ(orvix({"INIT_DATASET", "p", "svm", "sparse"}).exit_status, 0);
  const float floats[] = {5, 5, 6, 6};
  const std::int32_t two = 2;
  const float sevens[] = {7, 7}, eights[] = {8, 8};
  std::string fvecs;
  for (const float* vector : {sevens, eights}) {
    fvecs += std::string(reinterpret_cast<const char*>(&two), 4) +
             std::string(reinterpret_cast<const char*>(vector), 8);
  }
  struct Case {
    std::string dataset;
    std::vector<std::string> upload;
    std::string input;
    std::string query;
    std::string id;
    std::vector<std::string> dry_extra = {};  // what the dry run is told instead of asked
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"csv", {file("u.csv", "name,x,y\nfirst,1,1\nsecond,2,2\n"), "--file_format", "csv",
        "--has_field_names", "true", "--vector_type", "dense", "--vector_id_field_name", "name"},
       "", "[2, 2.1]", "second"},
      {"csv", {file("h.csv", "3,3,third\n"), "--file_format", "csv", "--has_field_names", "false",
        "--vector_type", "dense"}, "y\n3\nn\n", "[3, 3]", "third", {"--vector_id_field_name", "3"}},
      {"json",
       {file("u.json", R"([{"id":"j1","v":[1,2]},{"id":"j2","v":[9,9]}])"), "--file_format", "json",
        "--has_field_names", "true", "--vector_type", "dense", "--vector_data_field_name", "v",
        "--vector_id_field_name", "id"}, "", "[9, 8]", "j2"},
      {"svm",
       {file("u.svm", "1 3:1 5:2\n0 4:1\n"), "--file_format", "libsvm", "--string_ids_file_path",
        file("ids.txt", "s1 s2\n")}, "", "[0, 0, 0, 0, 1]", "s2"},
      {"bin", {file("u.bin", std::string(reinterpret_cast<const char*>(floats), sizeof floats)),
        "--file_format", "binary", "--binary_dim", "2", "--binary_dtype", "float32",
        "--string_ids_file_path", file("bids.txt", "b1\nb2\n")}, "", "[6, 6.5]", "b2"},
      {"bin", {file("u.fvecs", fvecs), "--file_format", "fvecs", "--string_ids_file_path",
        file("fids.txt", "f1\nf2\n")}, "", "[8, 8.2]", "f2"},
  };
  // clang-format on
  // A dry run first: offline (no key, no service at its address), it counts what is then stored.
  std::map<std::string, std::uint64_t> counted;
  for (const auto& c : cases) {
    std::vector<std::string> args = {"UPLOAD", "p"};
    args.insert(args.end(), c.upload.begin(), c.upload.end());
    args.insert(args.end(), {"--dataset_name", c.dataset});
    std::vector<std::string> dry = {"--api-url", "http://127.0.0.1:1/api", "--output", "json"};
    dry.insert(dry.end(), args.begin(), args.end());
    dry.insert(dry.end(), c.dry_extra.begin(), c.dry_extra.end());
    dry.push_back("--dry-run");
    const auto checked = run_process(ORVIX_UNDER_TEST, {dry, {}, "", 60000});
    ASSERT_EQ(checked.exit_status, 0) << checked.out << checked.err;
    counted[c.dataset] += nlohmann::json::parse(checked.out).at("records").get<std::uint64_t>();
    const auto uploaded = orvix(args, c.input);
    ASSERT_EQ(uploaded.exit_status, 0) << uploaded.out;
    EXPECT_TRUE(has(uploaded.out, "Successfully uploaded file to dataset"));
    EXPECT_FALSE(has(uploaded.err, "\033[K")) << "a progress line off a terminal";
  }
  const auto fetched = orvix({"--output", "json", "FETCH_DATASETS", "p"});
  const auto record = nlohmann::json::parse(fetched.out);
  for (const auto& dataset : record.at("datasets")) {
    EXPECT_EQ(dataset.at("vectors"), counted.at(dataset.at("name"))) << dataset;
  }
  for (const auto& c : cases) {
    const std::string index = c.dataset == "svm" ? "ip" : "l2";
    orvix({"ATTACH_INDEX", "p", c.dataset, index, c.dataset == "svm" ? "InnerProduct" : "L2"});
    const auto found = orvix(
        {"SEARCH", "p", c.dataset, index, "vector", "--query_vector", c.query, "--top_k", "1"});
    EXPECT_EQ(found.exit_status, 0);
    EXPECT_TRUE(has(found.out, "ID: \"" + c.id + "\"")) << c.id << "\n" << found.out;
  }
  const auto bad =
      orvix({"UPLOAD", "p", file("bad.csv", "1,x\n"), "--file_format", "csv", "--has_field_names",
             "false", "--vector_type", "dense", "--dataset_name", "csv"},
            "n\nn\n");
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_TRUE(has(bad.out, "Server failed to upload: line 1, column 2: \"x\" is not a number"));
  // A value the client refuses after two shards were taken: they are said, and they are stored.
  const auto cut = run_process(
      ORVIX_UNDER_TEST,
      {{"UPLOAD", "p", file("nan.csv", "4,4\n5,5\nnan,6\n"), "--file_format", "csv",
        "--has_field_names", "false", "--vector_type", "dense", "--dataset_name", "csv"},
       {{"ORVIX_API_KEY", "e2e-key"}, {"SHARD_SIZE", "4"}},
       "n\nn\n",
       60000});
  EXPECT_EQ(cut.exit_status, 1);
  EXPECT_TRUE(has(cut.out, "shard 2: records 2-2")) << cut.out;
  EXPECT_TRUE(has(orvix({"FETCH_DATASETS", "p"}).out, "Name: csv\nDimension: (5, 2)"));
}

TEST_F(LocalEndToEnd, DataOutlivesARestartAndKeysAreChecked) {
  const std::string data = dir_ + "local-data-" + std::to_string(getpid());
  start({"--data-dir", data});
  ASSERT_EQ(orvix({"CREATE_PROJECT", "kept", "both"}).exit_status, 0);
  EXPECT_EQ(local_->stop(SIGTERM), 0);
  start({"--data-dir", data});
  EXPECT_TRUE(has(orvix({"FETCH_PROJECTS"}).out, "Project Name: \"kept\""));
  const auto refused =
      run_process(ORVIX_UNDER_TEST, {{"FETCH_PROJECTS"}, {{"ORVIX_API_KEY", "wrong"}}, "", 20000});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_TRUE(has(refused.err, "Invalid API key"));
  EXPECT_TRUE(has(refused.out, "Failed to authenticate with the key in ORVIX_API_KEY."));
  std::remove((data + "/orvix.db").c_str());
}

// A float32 file of `count` vectors of 128 values and its id file.
std::string vectors_file(const std::string& path, int count) {
  std::string bytes(static_cast<std::size_t>(count) * 128 * sizeof(float), '\0');
  auto* values = reinterpret_cast<float*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size() / sizeof(float); ++i)
    values[i] = static_cast<float>(i % 977) / 977;
  std::ofstream(path, std::ios::binary) << bytes;
  std::ofstream ids(path + ".ids");
  for (int i = 0; i < count; ++i) ids << "v" << i << "\n";
  return path;
}

TEST_F(LocalEndToEnd, AnUploadAndSearchesAtOnceBothSucceed) {
  start();
  ASSERT_EQ(orvix({"CREATE_PROJECT", "p", "search"}).exit_status, 0);
  ASSERT_EQ(orvix({"INIT_DATASET", "p", "d", "dense", "128"}).exit_status, 0);
  const std::string data = vectors_file(dir_ + "concurrent.bin", 4000);
  ASSERT_EQ(orvix({"UPLOAD", "p", data, "--file_format", "binary", "--binary_dim", "128",
                   "--binary_dtype", "float32", "--dataset_name", "d"})
                .exit_status,
            0);
  orvix({"ATTACH_INDEX", "p", "d", "i", "L2"});
  ProcessResult upload;
  std::thread uploader([&] {
    upload = run_process(
        ORVIX_UNDER_TEST,
        {{"UPLOAD", "p", data, "--file_format", "binary", "--binary_dim", "128", "--binary_dtype",
          "float32", "--dataset_name", "d", "--string_ids_file_path", data + ".ids"},
         {{"ORVIX_API_KEY", "e2e-key"}, {"SHARD_SIZE", "262144"}},
         "",
         60000});
  });
  for (int i = 0; i < 5; ++i) {
    const auto found = orvix({"SEARCH", "p", "d", "i", "row", "--row_number", "1", "--top_k", "1"});
    EXPECT_EQ(found.exit_status, 0) << found.out;
  }
  uploader.join();
  EXPECT_EQ(upload.exit_status, 0) << upload.out;
  EXPECT_TRUE(has(orvix({"FETCH_DATASETS", "p"}).out, "Dimension: (8000, 128)"));
}

}  // namespace
