#include <gtest/gtest.h>

#include <fstream>

#include "client/payload.h"
#include "commands/handlers.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class VectorCommandsTest : public ServiceTest {};

using Dense = std::vector<std::vector<std::string>>;

TEST_F(VectorCommandsTest, InsertDenseSendsWidenedFloats) {
  service.on("/api/add_data", 200, R"({"error_code":"Success"})");
  CapturedOutput capture;
  EXPECT_TRUE(handle_insert_vector(session, "p", "d", "id", {"0.1", "2", " 1.5abc", "0x10"},
                                   {{"vector_attributes", R"({"c":"red"})"}, {"other", "x"}}));
  EXPECT_EQ(capture.out(), success("Successfully inserted vector"));
  EXPECT_EQ(capture.err(), info("Inserting vector to dataset d..."));
  EXPECT_EQ(
      bodies("/add_data"),
      std::vector<std::string>{R"({"attributes":{"c":"red"},"collection_name":"d",)"
                               R"("data":[0.10000000149011612,2.0,1.5,16.0],"project_name":"p",)"
                               R"("string_id":"id","user_api_key":"key-1"})"});
}

TEST_F(VectorCommandsTest, InsertSparseSendsPairsInNameOrder) {
  service.on("/api/add_data", 200, R"({"error_code":"Success"})");
  CapturedOutput capture;
  EXPECT_TRUE(handle_insert_vector(session, "p", "d", "id",
                                   std::string(R"({"2":"0.5","10":"0.25","-1":"1"})"), {}));
  EXPECT_EQ(bodies("/add_data").at(0),
            R"({"collection_name":"d","data":[[4294967295,1.0],[10,0.25],[2,0.5]],)"
            R"("project_name":"p","string_id":"id","user_api_key":"key-1"})");
}

TEST_F(VectorCommandsTest, InsertFailures) {
  struct Case {
    std::function<bool()> call;
    int status;
    std::string answer;
    std::string out;
    bool sent;
  };
  const auto dense = [this](std::vector<std::string> values, OptionMap options = {}) {
    return [=, this] { return handle_insert_vector(session, "p", "d", "id", values, options); };
  };
  const auto sparse = [this](std::string text) {
    return [=, this] { return handle_insert_vector(session, "p", "d", "id", text, OptionMap{}); };
  };
  const std::string prefix = "Error in handle_insert: ";
  const std::vector<Case> cases = {
      {dense({"1", "abc"}), 200, "",
       error(prefix + "Elements inside the vector should be a number"), false},
      {dense({"1e39"}), 200, "", error(prefix + "Elements inside the vector should be a number"),
       false},
      {dense({"-inf"}), 200, "", error(prefix + "Elements inside the vector should be a number"),
       false},
      {sparse(R"({"1":"nan"})"), 200, "", error(prefix + "Invalid values for vector"), false},
      // Values that round to a subnormal or to zero are numbers; the service's answer decides.
      {dense({"1e-40", "1e-50"}), 200, R"({"error_code":"E"})",
       error("Insert failed! Error Code: E"), true},
      {sparse(R"({"1":0.5})"), 200, "", error(prefix + "Invalid values for vector"), false},
      {sparse(R"({"99999999999":"0.5"})"), 200, "", error(prefix + "Invalid values for vector"),
       false},
      {dense({"1"}), 200, "{}", error("Insert failed! Error Code: UNKNOWN"), true},
      {dense({"1"}), 200, R"({"error_code":"DIM_MISMATCH"})",
       error("Insert failed! Error Code: DIM_MISMATCH"), true},
      {dense({"1"}), 500, "oops", error("Insert failed! Status: 500\nReponse: oops"), true},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/add_data", c.status, c.answer);
    CapturedOutput capture;
    EXPECT_FALSE(c.call());
    EXPECT_EQ(capture.out(), c.out);
    EXPECT_EQ(bodies("/add_data").size(), c.sent ? 1u : 0u) << c.out;
  }
}

TEST_F(VectorCommandsTest, DenseBatchChecksumsItsDataAndFollowsTheJob) {
  service.on("/api/add_data_batch", 200, R"({"checksum_server":"abc","job_id":"job-9"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"pending"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"in_progress"})");
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"2 rows"})");
  CapturedOutput capture;
  EXPECT_TRUE(handle_insert_vector_batch(session, "p", "d", {"a", "b"},
                                         Dense{{"1", "2.5"}, {"0.1"}},
                                         {{"vector_attributes", R"([{"k":"v"},{}])"}}));
  const std::string body = bodies("/add_data_batch").at(0);
  const std::string data = R"([[1.0,2.5],[0.10000000149011612]])";
  const std::string checksum = calculate_sha256(data);
  EXPECT_EQ(body, R"({"attributes":[{"k":"v"},{}],"checksum":")" + checksum +
                      R"(","collection_name":"d","data":)" + data +
                      R"(,"project_name":"p","string_ids":["a","b"],"user_api_key":"key-1"})");
  // The checksum is that of the exact "data" text inside the sent body.
  const auto begin = body.find("\"data\":") + 7;
  EXPECT_EQ(calculate_sha256(body.substr(begin, body.find(",\"project_name\"") - begin)), checksum);
  EXPECT_EQ(capture.out(),
            "Server returns matching checksum: abc\n" +
                yellow("[WARNING] The server's checksum abc does not match the client's checksum " +
                       checksum) +
                success("Upload Finished.") + success("2 rows"));
  EXPECT_EQ(capture.err(), info("Batch insertion with project_name and collection_name: p d...") +
                               info("data field checksum: " + checksum) +
                               info("Upload is pending") + info("Upload is in progress"));
  EXPECT_EQ(sleeps, (std::vector<long long>{3000, 3000}));
  EXPECT_EQ(bodies("/get_upload_data_status").at(0),
            R"({"job_id":"job-9","user_api_key":"key-1"})");
  EXPECT_EQ(session.limiter.recorded(), 1u);
}

TEST_F(VectorCommandsTest, DenseBatchAnswersAndJobStates) {
  const std::string raw = R"({"checksum_server":"c","job_id":"j"})";
  const std::string head = "Server returns matching checksum: c\n";
  auto parse_failure = [&](const std::string& what, const std::string& batch_answer) {
    return error("Failed to parse server response: " + what) +
           error("Raw response: " + batch_answer);
  };
  struct Case {
    int status;
    std::string batch_answer;
    std::string job_answer;
    std::string out_tail;
  };
  const std::vector<Case> cases = {
      {503, "busy", "", error("Insertions failed! Status: 503\nResponse: busy")},
      {200, "nope", "",
       parse_failure("[json.exception.parse_error.101] parse error at line 1, column 2: syntax "
                     "error while parsing value - invalid literal; last read: 'no'",
                     "nope")},
      {200, R"({"job_id":"j"})", "",
       parse_failure("[json.exception.type_error.302] type must be string, but is null",
                     R"({"job_id":"j"})")},
      {200, raw, R"({"success":true,"status":"finished"})",
       head + success("Upload Finished.") +
           parse_failure("[json.exception.type_error.302] type must be string, but is null", raw)},
      {200, raw, R"({"success":true,"status":"failed","error":"bad row 3"})",
       head + error("Server failed to upload: bad row 3")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/add_data_batch", c.status, c.batch_answer);
    if (!c.job_answer.empty()) service.on("/api/get_upload_data_status", 200, c.job_answer);
    CapturedOutput capture;
    EXPECT_FALSE(handle_insert_vector_batch(session, "p", "d", {"a"}, Dense{{"1"}}, {}));
    std::string out = capture.out();
    const auto warning = out.find("\033[33m");
    if (warning != std::string::npos) out.erase(warning, out.find('\n', warning) + 1 - warning);
    EXPECT_EQ(out, c.out_tail) << c.batch_answer << " / " << c.job_answer;
  }
}

TEST_F(VectorCommandsTest, BatchConversionErrorsSendNothing) {
  CapturedOutput capture;
  EXPECT_FALSE(handle_insert_vector_batch(session, "p", "d", {"a", "b"}, Dense{{"1"}, {"x"}}, {}));
  EXPECT_FALSE(handle_insert_vector_batch(session, "p", "d", {"a"},
                                          std::vector<std::string>{R"({"1":1})"}, {}));
  EXPECT_EQ(capture.out(),
            error("Error in handle_insert_batch: Elements inside the vector should be a number") +
                error("Error in handle_insert_batch: Invalid values for vector"));
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(VectorCommandsTest, SparseBatchReportsEveryVector) {
  struct Case {
    std::string answer;
    bool ok;
    std::string out;
  };
  const std::vector<Case> cases = {
      {R"([{"string_id":"a","status":200,"body":"{\"error_code\":\"Success\"}"},)"
       R"({"string_id":"b","status":200,"body":"not json"},{"status":409,"body":"{\"error_code\":\"DUP\"}"},{}])",
       false,
       success("Inserted 1 vectors successfully.") + kBorder + error("3 Failed insertions:\n") +
           " - string_id: \"b\", error: \"Invalid response format\"\n"
           " - string_id: \"UNKNOWN_ID\", error: \"DUP\"\n"
           " - string_id: \"UNKNOWN_ID\", error: \"Invalid response format\"\n" +
           kBorder},
      {"null", true, success("Inserted 0 vectors successfully.")},
      {"[]", true, success("Inserted 0 vectors successfully.")},
      {R"([{"string_id":"a","status":200,"body":"{}"}])", false,
       success("Inserted 0 vectors successfully.") + kBorder + error("1 Failed insertions:\n") +
           " - string_id: \"a\", error: \"UNKNOWN\"\n" + kBorder},
      {"[3]", false,
       error("Failed to parse server response: [json.exception.type_error.306] cannot use value() "
             "with number") +
           error("Raw response: [3]")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/add_data_batch", 200, c.answer);
    CapturedOutput capture;
    EXPECT_EQ(handle_insert_vector_batch(session, "p", "d", {"a", "b"},
                                         std::vector<std::string>{R"({"1":"0.5"})", "{}"}, {}),
              c.ok);
    EXPECT_EQ(capture.out(), c.out) << c.answer;
    EXPECT_EQ(bodies("/add_data_batch").at(0),
              R"({"collection_name":"d","data":[[[1,0.5]],[]],"project_name":"p",)"
              R"("string_id":["a","b"],"user_api_key":"key-1"})");
  }
}

TEST_F(VectorCommandsTest, DeleteVector) {
  const std::vector<std::tuple<int, std::string, bool, std::string>> cases = {
      {200, R"({"error_code":"Success"})", true,
       success("Successfully deleted 3 vectors from dataset d")},
      {200, "{}", false, error("Failed to delete vector, error message: UNKNOWN")},
      {200, R"({"error_code":"NF","error_message":"no such id"})", false,
       error("Failed to delete vector, error message: no such id")},
      {404, "x", false, error("Delete vector failed! Status: 404\nResponse: x")},
  };
  for (const auto& [status, answer, ok, out] : cases) {
    reset();
    service.on("/api/remove_data", status, answer);
    CapturedOutput capture;
    EXPECT_EQ(handle_delete_vector(session, "p", "d", {"a", "b", "c"}), ok);
    EXPECT_EQ(capture.out(), out);
    EXPECT_EQ(capture.err(), info("Deleting 3 vectors from dataset d..."));
    EXPECT_EQ(
        bodies("/remove_data").at(0),
        R"({"collection_name":"d","project_name":"p","string_ids":["a","b","c"],"user_api_key":"key-1"})");
  }
  reset();
  service.on("/api/remove_data", 200, R"({"error_code":"Success"})");
  CapturedOutput capture;
  EXPECT_TRUE(handle_delete_vector(session, "p", "d", {}));
  EXPECT_EQ(bodies("/remove_data").at(0),
            R"({"collection_name":"d","project_name":"p","string_ids":[],"user_api_key":"key-1"})");
}

TEST_F(VectorCommandsTest, SearchBuildsTheQueryFromItsOptions) {
  const std::string file = ::testing::TempDir() + "query.csv";
  std::ofstream(file, std::ios::binary) << "1,2\n";
  const std::string head = R"({"collection_name":"d","index_name":"i","project_name":"p",)";
  struct Case {
    std::string query_type;
    OptionMap options;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"vector",
       {{"query_vector", R"(["1","2.5","0.1"])"}},
       head + R"("query_type":"vector","query_vector":[1.0,2.5,0.1],"user_api_key":"key-1"})"},
      {"row",
       {{"row_number", "12"}, {"top_k", "5abc"}},
       head + R"("query_type":"row","row_number":12,"top_k":5,"user_api_key":"key-1"})"},
      {"dataset",
       {{"dataset_name", "other"}, {"filter_attribute", "color"}},
       R"({"collection_name":"d","filter":{"attribute":"color"},"index_name":"i","project_name":"p",)"
       R"("query_dataset_name":"other","query_type":"dataset","user_api_key":"key-1"})"},
      {"file",
       {{"file_path", file},
        {"file_type", "csv"},
        {"filter_type", "range"},
        {"start_value", "a"},
        {"end_value", "m"}},
       R"({"collection_name":"d","dataset_name":")" + file +
           R"(","file_data":"MSwyCg==","file_format":"csv","filter":{"end_value":"m","start_value":"a","type":"range"},)"
           R"("index_name":"i","project_name":"p","query_type":"file","user_api_key":"key-1"})"},
      {"row",
       {{"row_number", "0"}, {"filter_type", "equality"}, {"target_value", R"(["x","y"])"}},
       R"({"collection_name":"d","filter":{"target_values":["x","y"],"type":"equality"},"index_name":"i",)"
       R"("project_name":"p","query_type":"row","row_number":0,"user_api_key":"key-1"})"},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/search", 200, R"({"results":[]})");
    CapturedOutput capture;
    EXPECT_TRUE(handle_search(session, "p", "d", "i", c.query_type, c.options));
    EXPECT_EQ(bodies("/search").at(0), c.body);
    EXPECT_EQ(capture.out(), success("Search successful, retrieved top-0 vectors"));
  }
}

TEST_F(VectorCommandsTest, SearchRejectsBadOptionsBeforeSending) {
  const std::string prefix = "Error in handle_search: ";
  const std::vector<std::tuple<std::string, OptionMap, std::string>> cases = {
      {"vector", {{"top_k", "abc"}}, error(prefix + "argument -top_k should be an integer")},
      {"vector", {}, error(prefix + "query_vector argument not found")},
      {"vector",
       {{"query_vector", R"({"a":"1"})"}},
       error(prefix + "query_vector must be a JSON array")},
      {"vector",
       {{"query_vector", "[1]"}},
       error(prefix + "query vector should consist of decimal numbers")},
      {"vector",
       {{"query_vector", R"(["nan","1"])"}},
       error(prefix + "query vector should consist of decimal numbers")},
      {"vector",
       {{"query_vector", R"(["1e999"])"}},
       error(prefix + "query vector should consist of decimal numbers")},
      {"row", {}, error(prefix + "row_number argument not found")},
      {"row",
       {{"row_number", "-1"}},
       error(prefix + "argument -row_number should be a non-negative integer")},
      {"row",
       {{"row_number", "18446744073709551616"}},
       error(prefix + "argument -row_number should be a non-negative integer")},
      {"file", {{"file_path", "f"}}, error(prefix + "file_path or file_type argument not found")},
      {"file",
       {{"file_path", "/no/such/file"}, {"file_type", "csv"}},
       error(prefix + "Could not open file: /no/such/file")},
      {"file",
       {{"file_path", "/dev/zero"}, {"file_type", "csv"}},
       error(prefix + "'/dev/zero' is not a regular file")},
      {"dataset", {}, error(prefix + "dataset_name argument not found")},
      {"Vector",
       {},
       error(prefix + "Query type is invalid, valid types are vector, row, file, or dataset.")},
      {"row",
       {{"row_number", "1"}, {"filter_type", "equality"}},
       error(prefix + "target_value argument not found")},
      {"row",
       {{"row_number", "1"}, {"filter_type", "range"}, {"start_value", "a"}},
       error(prefix + "start_value or end_value argument not found")},
      {"row",
       {{"row_number", "1"}, {"filter_type", "like"}},
       error(prefix + "Invalid filter type, valid types are equality or range")},
      {"row",
       {{"row_number", "1"}, {"query_vector", "[]"}},
       error("Invalid argument: query_vector")},
      {"row",
       {{"row_number", "1"},
        {"filter_type", "equality"},
        {"target_value", "[]"},
        {"start_value", "a"}},
       error("Invalid argument: start_value")},
  };
  for (const auto& [query_type, options, out] : cases) {
    CapturedOutput capture;
    EXPECT_FALSE(handle_search(session, "p", "d", "i", query_type, options));
    EXPECT_EQ(capture.out(), out);
  }
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(VectorCommandsTest, SearchResultLayouts) {
  struct Case {
    std::string answer;
    bool ok;
    std::string out;
  };
  const std::vector<Case> cases = {
      {R"({"results":[{"distance":-0.25,"idx":"item7"},{"distance":123456789,"idx":3},{"distance":1.0}]})",
       true,
       success("Search successful, retrieved top-3 vectors") + kBorder +
           "Distance/Similarity: 0.25\nID: \"item7\"\n" + kBorder +
           "Distance/Similarity: 1.23457e+08\nID: 3\n" + kBorder +
           "Distance/Similarity: 1\nID: null\n"},
      {R"({"results":[{"query_vector_id":0,"matches":[{"distance":-0.25,"idx":"a"}]},{"query_vector_id":"q1","matches":[]}]})",
       true,
       success("Search successful, found 2 search results") + kBorder + green("Query vector: 0") +
           kBorder + "Distance: -0.25\nID: \"a\"\n" + kBorder + kBorder +
           green("Query vector: \"q1\"") + kBorder},
      {"{}", true, success("Search successful, retrieved top-0 vectors")},
      {R"({"results":null})", true, success("Search successful, retrieved top-0 vectors")},
      {"[]", false, error("Error in handle_search: search answer is not a JSON object")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/search", 200, c.answer);
    CapturedOutput capture;
    EXPECT_EQ(handle_search(session, "p", "d", "i", "row", {{"row_number", "1"}}), c.ok)
        << c.answer;
    EXPECT_EQ(capture.out(), c.out) << c.answer;
  }
  reset();
  service.on("/api/search", 500, "x");
  CapturedOutput capture;
  EXPECT_FALSE(handle_search(session, "p", "d", "i", "row", {{"row_number", "1"}}));
  EXPECT_EQ(capture.out(), error("Search failed! Status: 500\nResponse: x"));
}

}  // namespace
