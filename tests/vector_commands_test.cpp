// The vector statements against scripted answers: the numbers and members they send, the job a
// dense batch follows, and every way their answers are read.
#include <gtest/gtest.h>

#include <fstream>

#include <cmath>
#include <cstring>
#include <random>

#include "client/payload.h"
#include "commands/vector_numbers.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class VectorCommandsTest : public ServiceTest {};

const std::string kKey = R"("user_api_key":"key-1")";

TEST_F(VectorCommandsTest, Inserts) {
  const std::string insert = "Error in handle_insert: ";
  const std::string number = error(insert + "Elements inside the vector should be a number");
  const std::string values = error(insert + "Invalid values for vector");
  const std::string ok = R"({"error_code":"Success"})";
  // clang-format off
  check({
      {R"(INSERT_VECTOR p d id [0.1, 2, " 1.5abc", 0x10] --vector_attributes [c:red])",
       {{"/add_data", 200, ok}}, true, success("Successfully inserted vector"),
       {R"(/add_data {"attributes":{"c":"red"},"collection_name":"d",)"
        R"("data":[0.10000000149011612,2.0,1.5,16.0],"project_name":"p","string_id":"id",)" +
        kKey + "}"}},
      {"INSERT_VECTOR p d id [2:0.5, 10:0.25, -1:1]", {{"/add_data", 200, ok}}, true,
       success("Successfully inserted vector"),
       {R"(/add_data {"collection_name":"d","data":[[4294967295,1.0],[10,0.25],[2,0.5]],)"
        R"("project_name":"p","string_id":"id",)" + kKey + "}"}},
      {"INSERT_VECTOR p d id [1, abc]", {}, false, number},
      {"INSERT_VECTOR p d id [-inf]", {}, false, number},
      {"INSERT_VECTOR p d id [1:nan]", {}, false, values},
      {"INSERT_VECTOR p d id [99999999999:0.5]", {}, false, values},
      // Values that round to a subnormal or to zero are numbers; the service's answer decides.
      {"INSERT_VECTOR p d id [1e-40, 1e-50]", {{"/add_data", 200, R"({"error_code":"E"})"}}, false,
       error("Insert failed! Error Code: E")},
      {"INSERT_VECTOR p d id [1]", {{"/add_data", 200, "{}"}}, false,
       error("Insert failed! Error Code: UNKNOWN")},
      {"INSERT_VECTOR p d id [1]", {{"/add_data", 500, "oops"}}, false,
       error("Insert failed! Status: 500\nReponse: oops")},
  });
  // clang-format on
}

TEST_F(VectorCommandsTest, DenseBatchChecksumsItsDataAndFollowsTheJob) {
  service.on("/api/add_data_batch", 200, R"({"checksum_server":"abc","job_id":"job-9"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"pending"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"in_progress"})");
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"2 rows"})");
  CapturedOutput capture;
  EXPECT_TRUE(run_statement_line(
      session, "INSERT_VECTOR_BATCH p d [a, b] [[1, 2.5], [0.1]] --vector_attributes [[k:v], []]"));
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
  EXPECT_NE(
      capture.err().find(info("Batch insertion with project_name and collection_name: p d...") +
                         info("data field checksum: " + checksum) + info("Upload is pending") +
                         info("Upload is in progress")),
      std::string::npos);
  EXPECT_EQ(sleeps, (std::vector<long long>{3000, 3000}));
  EXPECT_EQ(bodies("/get_upload_data_status").at(0), R"({"job_id":"job-9",)" + kKey + "}");
  EXPECT_EQ(session.limiter.recorded(), 1u);
}

TEST_F(VectorCommandsTest, Batches) {
  const std::string dense = "INSERT_VECTOR_BATCH p d [a] [[1]]";
  auto unreadable = [](const std::string& what, const std::string& answer) {
    return error("Failed to parse server response: " + what) + error("Raw response: " + answer);
  };
  const std::string sparse = "INSERT_VECTOR_BATCH p d [a, b] [[1:0.5], []]";
  auto missing = [](const std::string& id) {
    return " - string_id: \"" + id + "\", error: \"no result in the service's answer\"\n";
  };
  // clang-format off
  check({
      {dense, {{"/add_data_batch", 503, "busy"}}, false,
       error("Insertions failed! Status: 503\nResponse: busy") +
           yellow("[WARNING] The batch was sent whole and nothing the service said tells whether "
                  "it was stored: its vectors may be; search for their ids before inserting it "
                  "again")},
      {dense, {{"/add_data_batch", 200, "nope"}}, false,
       unreadable("[json.exception.parse_error.101] parse error at line 1, column 2: syntax "
                  "error while parsing value - invalid literal; last read: 'no'", "nope")},
      {dense, {{"/add_data_batch", 200, R"({"job_id":"j"})"}}, false,
       unreadable("[json.exception.type_error.302] type must be string, but is null",
                  R"({"job_id":"j"})")},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1], [x]]", {}, false,
       error("Error in handle_insert_batch: Elements inside the vector should be a number")},
      {"INSERT_VECTOR_BATCH p d [a] [[1:x]]", {}, false,
       error("Error in handle_insert_batch: Invalid values for vector")},
      {sparse, {{"/add_data_batch", 200,
         R"([{"string_id":"a","status":200,"body":"{\"error_code\":\"Success\"}"},)"
         R"({"string_id":"b","status":200,"body":"not json"},)"
         R"({"status":409,"body":"{\"error_code\":\"DUP\"}"},{}])"}}, false,
       success("Inserted 1 vectors successfully.") + kBorder + error("3 Failed insertions:\n") +
           " - string_id: \"b\", error: \"Invalid response format\"\n"
           " - string_id: \"UNKNOWN_ID\", error: \"DUP\"\n"
           " - string_id: \"UNKNOWN_ID\", error: \"Invalid response format\"\n" + kBorder,
       {R"(/add_data_batch {"collection_name":"d","data":[[[1,0.5]],[]],"project_name":"p",)"
        R"("string_id":["a","b"],)" + kKey + "}"}},
      // Every vector sent has its result; one the answer leaves out was not inserted.
      {sparse, {{"/add_data_batch", 200, "null"}}, false, success("Inserted 0 vectors successfully.")
       + kBorder + error("2 Failed insertions:\n") + missing("a") + missing("b") + kBorder},
      {sparse, {{"/add_data_batch", 200, "{}"}}, false, success("Inserted 0 vectors successfully.")
       + kBorder + error("2 Failed insertions:\n") + missing("a") + missing("b") + kBorder},
      {sparse, {{"/add_data_batch", 200, R"([{"string_id":"a","status":200,"body":"{}"}])"}}, false,
       success("Inserted 0 vectors successfully.") + kBorder + error("2 Failed insertions:\n") +
           " - string_id: \"a\", error: \"UNKNOWN\"\n" + missing("b") + kBorder},
  });
  // clang-format on
}

TEST_F(VectorCommandsTest, DeleteVector) {
  const std::string line = "DELETE_VECTOR p d [a, b, c]";
  // clang-format off
  check({
      {line, {{"/remove_data", 200, R"({"error_code":"Success"})"}}, true,
       success("Successfully deleted 3 vectors from dataset d"),
       {R"(/remove_data {"collection_name":"d","project_name":"p","string_ids":["a","b","c"],)" +
        kKey + "}"}},
      {line, {{"/remove_data", 200, "{}"}}, false,
       error("Failed to delete vector, error message: UNKNOWN")},
      {line, {{"/remove_data", 200, R"({"error_code":"NF","error_message":"no such id"})"}}, false,
       error("Failed to delete vector, error message: no such id")},
      {line, {{"/remove_data", 404, "x"}}, false,
       error("Delete vector failed! Status: 404\nResponse: x")},
  });
  // clang-format on
}

TEST_F(VectorCommandsTest, SearchQueriesFromTheirOptions) {
  const std::string file = ::testing::TempDir() + "query.csv";
  std::ofstream(file, std::ios::binary) << "1,2\n";
  const std::string none = success("Search successful, retrieved top-0 vectors");
  const std::string head = R"(/search {"collection_name":"d",)";
  const std::string index = R"("index_name":"i","project_name":"p",)";
  const std::string empty = R"({"results":[]})";
  const std::string bad = "Error in handle_search: ";
  // clang-format off
  check({
      {"SEARCH p d i vector --query_vector [1, 2.5, 0.1]", {{"/search", 200, empty}}, true, none,
       {head + index + R"("query_type":"vector","query_vector":[1.0,2.5,0.1],)" + kKey + "}"}},
      {"SEARCH p d i row --row_number 12 --top_k 5abc", {{"/search", 200, empty}}, true, none,
       {head + index + R"("query_type":"row","row_number":12,"top_k":5,)" + kKey + "}"}},
      {"SEARCH p d i dataset --query_dataset_name other --filter_attribute color",
       {{"/search", 200, empty}}, true, none, {head + R"("filter":{"attribute":"color"},)" + index +
        R"("query_dataset_name":"other","query_type":"dataset",)" + kKey + "}"}},
      {"SEARCH p d i file --file_path " + file +
           " --file_type csv --filter_type range --start_value a --end_value m",
       {{"/search", 200, empty}}, true, none, {head + R"("dataset_name":")" + file +
        R"(","file_data":"MSwyCg==","file_format":"csv",)"
        R"("filter":{"end_value":"m","start_value":"a","type":"range"},)" +
        index + R"("query_type":"file",)" + kKey + "}"}},
      {"SEARCH p d i row --row_number 0 --filter_type equality --target_values [x, y]",
       {{"/search", 200, empty}}, true, none,
       {head + R"("filter":{"target_values":["x","y"],"type":"equality"},)" + index +
        R"("query_type":"row","row_number":0,)" + kKey + "}"}},
      {"SEARCH p d i vector --top_k abc", {}, false,
       error(bad + "argument -top_k should be an integer")},
      {"SEARCH p d i vector", {}, false, error(bad + "query_vector argument not found")},
      {"SEARCH p d i vector --query_vector [nan, 1]", {}, false,
       error(bad + "query vector should consist of decimal numbers")},
      {"SEARCH p d i row", {}, false, error(bad + "row_number argument not found")},
      {"SEARCH p d i row --row_number -1", {}, false,
       error(bad + "argument -row_number should be a non-negative integer")},
      {"SEARCH p d i row --row_number 18446744073709551616", {}, false,
       error(bad + "argument -row_number should be a non-negative integer")},
      {"SEARCH p d i file --file_path f", {}, false,
       error(bad + "file_path or file_type argument not found")},
      {"SEARCH p d i file --file_path /no/such/file --file_type csv", {}, false,
       error(bad + "Could not open file: /no/such/file")},
      {"SEARCH p d i file --file_path /dev/zero --file_type csv", {}, false,
       error(bad + "'/dev/zero' is not a regular file")},
      {"SEARCH p d i dataset", {}, false, error(bad + "dataset_name argument not found")},
      {"SEARCH p d i Vector", {}, false,
       error(bad + "Query type is invalid, valid types are vector, row, file, or dataset.")},
      {"SEARCH p d i row --row_number 1 --filter_type equality", {}, false,
       error(bad + "target_value argument not found")},
      {"SEARCH p d i row --row_number 1 --filter_type range --start_value a", {}, false,
       error(bad + "start_value or end_value argument not found")},
      {"SEARCH p d i row --row_number 1 --filter_type like", {}, false,
       error(bad + "Invalid filter type, valid types are equality or range")},
      {"SEARCH p d i row --row_number 1 --query_vector []", {}, false,
       error("Invalid argument: query_vector")},
      {"SEARCH p d i row --row_number 1 --filter_type equality --target_values [] --start_value a",
       {}, false, error("Invalid argument: start_value")},
  });
  // clang-format on
  std::remove(file.c_str());
}

TEST_F(VectorCommandsTest, SearchResultLayouts) {
  const std::string line = "SEARCH p d i row --row_number 1";
  // clang-format off
  check({
      {line, {{"/search", 200,
         R"({"results":[{"distance":-0.25,"idx":"item7"},{"distance":123456789,"idx":3},)"
         R"({"distance":1.0}]})"}}, true,
       success("Search successful, retrieved top-3 vectors") + kBorder +
           "Distance/Similarity: 0.25\nID: \"item7\"\n" + kBorder +
           "Distance/Similarity: 1.23457e+08\nID: 3\n" + kBorder +
           "Distance/Similarity: 1\nID: null\n"},
      {line, {{"/search", 200,
         R"({"results":[{"query_vector_id":0,"matches":[{"distance":-0.25,"idx":"a"}]},)"
         R"({"query_vector_id":"q1","matches":[]}]})"}}, true,
       success("Search successful, found 2 search results") + kBorder + green("Query vector: 0") +
           kBorder + "Distance: -0.25\nID: \"a\"\n" + kBorder + kBorder +
           green("Query vector: \"q1\"") + kBorder},
      {line, {{"/search", 200, R"({"results":null})"}}, true,
       success("Search successful, retrieved top-0 vectors")},
      {line, {{"/search", 200, "[]"}}, false,
       error("Error in handle_search: search answer is not a JSON object")},
      {line, {{"/search", 500, "x"}}, false, error("Search failed! Status: 500\nResponse: x")},
  });
  // clang-format on
}

}  // namespace

namespace {

// The fast reading of plain decimals agrees with strtof bit for bit, and refuses what it refuses.
// Read as strtof reads them, and written as the JSON library writes the widened values.
TEST(VectorNumbers, DecimalsReadAsTheCLibraryReadsThemAndWrittenAsTheLibraryWritesThem) {
  std::vector<std::string> texts = {"0",        "-0",           "1e-40",        "1e-50",    "0.1",
                                    "1e39",     "3.4028235e38", "3.4028236e38", "-1.5e-45", "7e-46",
                                    "16777217", "0x10",         " 1.5abc",      "inf",      "-nan",
                                    "1.",       ".5",           "-.5e1",        "00012",    "1e+3"};
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i) {
    const int digits = 1 + static_cast<int>(random() % 12);
    std::string text = random() % 2 ? "-" : "";
    for (int d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
    if (random() % 2) text.insert(1 + random() % text.size(), ".");
    if (random() % 2) text += "e" + std::to_string(static_cast<int>(random() % 90) - 50);
    texts.push_back(text);
  }
  std::vector<float> values;
  StringList accepted;
  for (const auto& text : texts) {
    errno = 0;
    char* end = nullptr;
    const float expected = std::strtof(text.c_str(), &end);
    const bool refused = end == text.c_str() || !std::isfinite(expected);
    try {
      const float read = rest_client::finite_float(text);
      EXPECT_FALSE(refused) << text;
      EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0) << text;
      values.push_back(read);
      accepted.push_back(text);
    } catch (const std::exception&) {
      EXPECT_TRUE(refused) << text;
    }
  }
  for (int i = 0; i < 20000; ++i) {
    const auto bits = static_cast<std::uint32_t>(random());
    float value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) values.push_back(value);
  }
  values.insert(values.end(), {-0.0f, 1.0f, 1e20f, 3.4028235e38f, 1.4e-45f, 0.1f, -2.5f});
  std::string text;
  rest_client::append_dense_text(values, text);
  EXPECT_TRUE(text == rest_client::dense_json(values).dump());

  // A batch large enough to be written by several threads: the same text as row by row, and the
  // same refusal when one word in the last part is not a number.
  WordRows rows;
  std::string expected;
  for (std::size_t word = 0; rows.words() < 300000;) {
    StringList row;
    for (auto length = 1 + random() % 300; length > 0; --length) {
      row.push_back(accepted[word++ % accepted.size()]);
    }
    if (!expected.empty()) expected += ',';
    expected += rest_client::dense_json(rest_client::to_dense_vector(row)).dump();
    rows.add_row(row);
  }
  std::string written;
  rest_client::append_dense_rows(rows, written);
  EXPECT_TRUE(written == expected);
  rows.add_row({"1", "x"});
  EXPECT_THROW(rest_client::append_dense_rows(rows, written), std::invalid_argument);
}

}  // namespace
