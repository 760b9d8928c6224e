#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "client/payload.h"
#include "tests/support/decode.h"
#include "tests/support/service_fixture.h"
#include "tests/support/upload_options.h"
#include "upload/shard_transfer.h"
#include "upload/upload_command.h"

namespace {

using namespace rest_client;
using namespace testing_support;

struct Shard {
  json body;         // the members besides the per-shard ones
  std::string data;  // decoded "file_data"
  std::optional<std::string> ids;
};

class UploadTest : public ServiceTest {
 protected:
  UploadTest() { answer_well(); }

  // A fresh script of a service that takes every shard and finishes its job at once.
  void answer_well() {
    reset();
    service.on("/api/upload", 200, R"({"checksum_server":"s","job_id":"j"})");
    service.on("/api/get_upload_data_status", 200,
               R"({"success":true,"status":"finished","error_message":"done"})");
  }

  std::string file(const std::string& name, const std::string& contents) {
    const std::string path =
        ::testing::TempDir() + "orvix-upload-" + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  // Every shard the service received, decoded; checks each checksum on the way.
  std::vector<Shard> shards() {
    std::vector<Shard> result;
    for (const auto& body_text : bodies("/upload")) {
      json body = json::parse(body_text);
      EXPECT_EQ(body_text, body.dump());  // compact, members in name order
      const std::string file_data = body.at("file_data").get<std::string>();
      EXPECT_EQ(body.at("checksum").get<std::string>(), calculate_sha256(file_data));
      Shard shard;
      shard.data = gunzip(unbase64(file_data));
      if (body.contains("string_id_txt")) {
        shard.ids = gunzip(unbase64(body.at("string_id_txt").get<std::string>()));
      }
      for (const char* key : {"file_data", "checksum", "string_id_txt"}) body.erase(key);
      shard.body = body;
      result.push_back(shard);
    }
    return result;
  }

  std::vector<std::string> datas() {
    std::vector<std::string> result;
    for (const auto& shard : shards()) result.push_back(shard.data);
    return result;
  }

 private:
};

TEST_F(UploadTest, FilesAreCutIntoShardsAtRecordBoundaries) {
  std::string ten_lines;
  std::vector<std::string> lines;
  for (int i = 0; i < 10; ++i) lines.push_back(std::string(98, static_cast<char>('a' + i)) + "\r");
  for (const auto& line : lines) ten_lines += line + "\n";
  ten_lines.pop_back();  // the last line has no line break
  auto joined = [&](int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) text += lines[i] + "\n";
    return text;
  };
  std::string bytes(40, '\0');
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<char>(i);
  const OptionMap libsvm = {{"file_format", "libsvm"}, {"collection_name", "d"}};
  auto with_ids = [&](const std::string& name, const std::string& ids) {
    OptionMap options = libsvm;
    options["string_ids_file_path"] = file(name, ids);
    return options;
  };
  struct Case {
    std::string name, contents;
    int shard_size;
    OptionMap options;
    std::vector<std::string> data;
    std::vector<std::optional<std::string>> ids;  // per shard, when ids were given
    std::string said;                             // part of what was printed
    bool ok = true;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"ten.libsvm", ten_lines, 250, libsvm,
       {joined(0, 3), joined(3, 6), joined(6, 9), joined(9, 10)}, {},
       "Successfully uploaded file to dataset"},
      {"h.csv", "id,x\n1,2\n3,4\n", 0, {{"file_format", "csv"}, {"collection_name", "d"},
        {"has_field_names", "true"}, {"vector_type", "dense"}},
       {"id,x\n1,2\n", "id,x\n3,4\n", "id,x\n"}, {}, ""},
      {"three.libsvm", "l1\nl2\nl3\n", 4, with_ids("ids.txt", "a b\r\n\nc\nextra\n"),
       {"l1\n", "l2\n", "l3\n"}, {"a\n", "b\n", "c\n"},
       "[WARNING]Warning: empty string id line found."},
      // A blank line is no record: it is not sent and takes no id.
      {"blank.libsvm", "l1\n \nl2\n\n", 1000, with_ids("ab.txt", "a\nb\n"), {"l1\nl2\n"},
       {"a\nb\n"}, "Successfully uploaded file to dataset"},
      {"three.libsvm", "l1\nl2\nl3\n", 1000, with_ids("two.txt", "a\nb\n"), {"l1\nl2\nl3\n"},
       {std::nullopt},
       "libsvm and string ids file have different number of lines, using default string_ids",
       false},
      {"v.bin", bytes, 1000, {{"file_format", "binary"}, {"collection_name", "d"},
        {"binary_dim", "4"}, {"binary_dtype", "float32"}}, {bytes.substr(0, 32)}, {},
       "Number of vectors 2\n"},
      // Size estimates 2 + 22, then 2 + 21, reach the threshold; the last element goes at the end.
      {"v.json", " [ {\"v\": [1, 2], \"id\" : \"a]\"} , {\"id\":\"b\\\"\",\"v\":[3]}, 4 ]\n", 20,
       {{"file_format", "json"}, {"collection_name", "d"}, {"has_field_names", "true"},
        {"vector_type", "dense"}, {"vector_data_field_name", "v"}},
       {R"([{"id":"a]","v":[1,2]}])", R"([{"id":"b\"","v":[3]}])", "[4]"}, {}, ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answer_well();
    session.upload.shard_size = c.shard_size;
    CapturedOutput capture;
    EXPECT_EQ(handle_upload(session, "p", file(c.name, c.contents), upload_options(c.options)),
              c.ok);
    EXPECT_EQ(datas(), c.data);
    if (!c.ids.empty()) {
      std::vector<std::optional<std::string>> ids;
      for (const auto& shard : shards()) ids.push_back(shard.ids);
      EXPECT_EQ(ids, c.ids);
    }
    EXPECT_NE((capture.out() + capture.err()).find(c.said), std::string::npos);
  }
  EXPECT_EQ(shards().at(0).body,
            json::parse(R"({"compression_type":"gzip","dataset_name":"d","file_format":"json",)"
                        R"("has_field_names":true,"project_name":"p","user_api_key":"key-1",)"
                        R"("vector_data_field_name":"v","vector_type":"dense"})"))
      << "the body's members besides file_data, checksum and ids";
}

TEST_F(UploadTest, ARunOutOfIdsIsToldWithItsShard) {
  session.upload.shard_size = 25;  // two lines a shard; the ids run out in the third
  std::string lines;
  for (int i = 0; i < 10; ++i) lines += "1 1:" + std::to_string(100000 + i) + "\n";
  const std::string data = file("ten.libsvm", lines);
  const std::string ids = file("five.txt", "a\nb\nc\nd\ne\n");
  CapturedOutput capture;
  EXPECT_FALSE(handle_upload(
      session, "p", data,
      upload_options(
          {{"file_format", "libsvm"}, {"collection_name", "d"}, {"string_ids_file_path", ids}})));
  const std::string out = capture.out();
  const auto warned = out.find("libsvm and string ids file have different number of lines");
  const auto second = out.find("Uploaded [2] data shards");
  ASSERT_NE(warned, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  EXPECT_GT(warned, second) << "told before the shard it concerns:\n" << out;
  // The ids ran out in the third shard, sent without them as the rest were: stored, not as asked.
  EXPECT_NE(out.find(error("The string ids file '" + ids +
                           "' held 5 ids; 6 of the 10 vectors "
                           "were stored with default ids instead")),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Successfully uploaded"), std::string::npos);
}

TEST_F(UploadTest, AnInterruptAfterAShardIsAcceptedNamesItsJob) {
  // Ctrl-C in the pause after the service took the first shard.
  session.waits =
      Waits([] { return Clock::now(); }, [](std::chrono::nanoseconds) { request_interrupt(); });
  const std::string data = file("one.libsvm", "1 1:0.5\n");
  try {
    handle_upload(session, "p", data,
                  upload_options({{"file_format", "libsvm"}, {"collection_name", "d"}}));
    ADD_FAILURE() << "not interrupted";
  } catch (const Interrupted& interrupted) {
    EXPECT_NE(interrupted.what.find("after 1 shard(s) were accepted (records 1-1, job \"j\": "
                                    "may be stored)"),
              std::string::npos)
        << interrupted.what;
  }
  clear_interrupt();
}

TEST_F(UploadTest, HeaderlessCsvAsksForColumns) {
  const std::string csv = file("q.csv", "1,2,3,\n4,5,6,\n");
  CapturedOutput capture("yes\ny\n 2x\ny\n1 3 x 4\n");
  EXPECT_TRUE(handle_upload(session, "p", csv,
                            upload_options({{"file_format", "csv"},
                                            {"collection_name", "d"},
                                            {"has_field_names", "false"},
                                            {"vector_type", "dense"},
                                            {"attributes", "[]"}})));
  EXPECT_EQ(
      capture.out().substr(0, capture.out().find("Server returns")),
      yellow("[WARNING]Argument attributes discarded") +
          "Do you want to insert a vector_id_field_name? (y/n)\nPlease answer (y/n)\n"
          "Please input a number between 1 and 3, denoting the column number (1-based) of "
          "the column you want as your vector_id_field_name\n"
          "Do you want to insert attributes? (y/n)\n"
          "Please input number(s) between 1 and 3 in a line separated by a space, denoting "
          "the column number (1-based) of the column(s) you want as your vector_attribute(s)\n");
  const auto body = shards().at(0).body;
  EXPECT_EQ(body.at("vector_id_field_name"), "2");
  EXPECT_EQ(body.at("vector_attributes"), json::parse(R"(["1","3"])"));
  EXPECT_EQ(body.at("has_field_names"), false);

  for (const std::string input : {"y\n", "y\nnone\n", "n\n"}) {
    CapturedOutput ended(input);
    EXPECT_FALSE(handle_upload(session, "p", csv,
                               upload_options({{"file_format", "csv"},
                                               {"collection_name", "d"},
                                               {"has_field_names", "false"},
                                               {"vector_type", "dense"}})));
    EXPECT_NE(ended.out().find("[ERROR] Error in upload: "), std::string::npos) << input;
  }
}

TEST_F(UploadTest, JobPollingAndTheFinalWait) {
  reset();
  session.upload.shard_size = 3;
  service.on("/api/upload", 200, R"({"checksum_server":"s","job_id":"j"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"pending"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"in_progress"})");
  service.on("/api/get_upload_data_status", 200, R"({"success":true,"status":"pending"})");
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"m"})");
  const std::string path = file("two.libsvm", "ab\ncd\n");
  CapturedOutput capture;
  EXPECT_TRUE(handle_upload(session, "p", path,
                            upload_options({{"file_format", "libsvm"}, {"collection_name", "d"}})));
  std::string out = capture.out();
  for (std::size_t at; (at = out.find("\033[33m")) != std::string::npos;) {
    out.erase(at, out.find('\n', at) + 1 - at);  // the checksum warnings
  }
  EXPECT_EQ(out, "Server returns matching checksum: s\n" + success("Uploaded [1] data shards") +
                     "Server returns matching checksum: s\n" + success("Uploaded [1] data shards") +
                     success("Uploaded [0/2]") +
                     success("Subjob [1] Finished. Returned with message: m") +
                     success("Subjob [2] Finished. Returned with message: m") +
                     success("Uploaded [2/2]") + success("Successfully uploaded file to dataset"));
  EXPECT_NE(capture.err().find(info("Subjob [0] is pending") +
                               info("Uploading ...'" + path + "' to dataset 'd'")),
            std::string::npos);
  EXPECT_EQ(sleeps, (std::vector<long long>{400, 400, 400, 400, 1000, 400, 400, 1000}));
}

TEST_F(UploadTest, ServiceFailures) {
  const std::string path = file("one.libsvm", "ab\n");
  const OptionMap options{{"file_format", "libsvm"}, {"collection_name", "d"}};
  struct Case {
    int status;
    std::string upload_answer;
    std::string job_answer;
    std::string tail;
  };
  const std::string head = "Server returns matching checksum: s\n";
  // Only a refusal says the shard is not stored.
  const std::string may_be_stored =
      yellow("[WARNING] Shard 1 of '" + path +
             "' (records 1-1) was sent whole and its answer never came, or could not be read: its "
             "records may be stored");
  // clang-format off
  const std::vector<Case> cases = {
      {500, "x", "", error("Upload failed! Status: 500\nResponse: x") +
           error("Error in upload: Server failed to upload") + may_be_stored},
      {413, "x", "", error("Upload failed! Status: 413\nResponse: x") +
           error("Error in upload: Server failed to upload")},
      {200, R"({"checksum_server":"s"})", "",
       head + error("Error in upload: [json.exception.type_error.302] type must be string, but is "
                    "null") + may_be_stored},
      {200, R"({"checksum_server":"s","job_id":"j"})",
       R"({"success":true,"status":"failed","error":"bad"})",
       head + error("Server failed to upload: bad") +
           error("Error in upload: Server failed to upload")},
  };
  // clang-format on
  for (const auto& c : cases) {
    reset();
    service.on("/api/upload", c.status, c.upload_answer);
    if (!c.job_answer.empty()) service.on("/api/get_upload_data_status", 200, c.job_answer);
    CapturedOutput capture;
    EXPECT_FALSE(handle_upload(session, "p", path, upload_options(options)));
    std::string out = capture.out();
    if (const auto at = out.find("\033[33m[WARNING] The server's"); at != std::string::npos) {
      out.erase(at, out.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(out, c.tail) << c.upload_answer << c.job_answer;
  }
}

}  // namespace

namespace {

TEST_F(UploadTest, FilesThatCannotBeSentWholeAreRefusedOrReported) {
  const std::string bin8 = file("eight.bin", "12345678");
  const std::string seven = file("seven.bin", "1234567");
  float nan_pair[4] = {1, 2, 3, 0};
  nan_pair[3] = std::nanf("");
  const std::string nan_file =
      file("nan.bin", std::string(reinterpret_cast<const char*>(nan_pair), sizeof nan_pair));
  const std::string deep = file("deep.json", std::string(60000, '[') + std::string(60000, ']'));
  const std::string huge = file("huge.json", "[[1,2],[1e39,3]]");
  const std::string two = file("two.libsvm", "1 1:1\n1 2:1\n");
  const std::string three_ids = file("three.txt", "a\nb\nc\n");
  const OptionMap csv = {
      {"file_format", "csv"}, {"collection_name", "d"}, {"vector_type", "dense"}};
  const OptionMap json_file = {{"file_format", "json"},
                               {"collection_name", "d"},
                               {"vector_type", "dense"},
                               {"has_field_names", "false"}};
  auto libsvm_options = [](const std::string& ids = "") {
    OptionMap options{{"file_format", "libsvm"}, {"collection_name", "d"}};
    if (!ids.empty()) options["string_ids_file_path"] = ids;
    return options;
  };
  auto binary = [](const std::string& dim, const std::string& dtype) {
    return OptionMap{{"file_format", "binary"},
                     {"collection_name", "d"},
                     {"binary_dim", dim},
                     {"binary_dtype", dtype}};
  };
  struct Case {
    std::string path;
    OptionMap options;
    bool result;
    std::string said;  // part of what was printed
    std::size_t shards;
    int shard_size = 1 << 20;
  };
  const OptionMap json_v = {{"file_format", "json"},
                            {"collection_name", "d"},
                            {"vector_type", "dense"},
                            {"vector_data_field_name", "v"}};
  const std::string empty = file("empty.libsvm", "");
  auto ids_for = [&](const std::string& ids) {
    OptionMap options = binary("1", "uint8");
    options["string_ids_file_path"] = file("five.txt", ids);
    return options;
  };
  const OptionMap header_csv = {{"file_format", "csv"},
                                {"collection_name", "d"},
                                {"vector_type", "dense"},
                                {"has_field_names", "true"},
                                {"vector_id_field_name", "id"}};
  OptionMap headerless_csv = csv;
  headerless_csv["has_field_names"] = "false";
  const std::string nan_csv = file("nan.csv", "1,2\n3,4\nnan,5\n");
  const std::string wide = file("wide.csv", std::string((16 << 20) + 1, '1'));
  // clang-format off
  const std::vector<Case> cases = {
      {"/no/file", {}, false, "[ERROR] Error in upload: Could not open file /no/file", 0},
      {bin8, binary("0", "uint8"), false, "Invalid argument for binary dim", 0},
      {bin8, binary("-2", "uint8"), false, "binary_dim must not be negative", 0},
      {two, json_v, false, "[ERROR] Error in upload: [json.exception.parse_error.101]", 0},
      {file("o.json", R"({"a":1})"), json_v, false, "Given json file is not an array", 0},
      {empty, libsvm_options(), false, "'" + empty + "' holds no vectors", 0},
      {file("e.csv", ""), headerless_csv, false, "holds no vectors", 0},
      {file("h.csv", "id,x\n\n"), header_csv, false, "holds no vectors", 0},
      {file("e.json", " [ ] "), json_file, false, "holds no vectors", 0},
      {file("blank.libsvm", "\n  \n\t\n"), libsvm_options(), false, "holds no vectors", 0},
      {file("zero.bin", ""), binary("2", "uint8"), false, "holds no vectors", 0},
      // Values must be finite numbers, on the client too; ids and attributes are text.
      {nan_csv, headerless_csv, false, "Record 3 of '" + nan_csv + "' (line 3, column 1) holds \"nan\", "
       "which is not a finite 32-bit number; its shard was not sent", 0},
      {nan_csv, headerless_csv, false, "  shard 2: records 2-2, job \"j\": stored", 2, 4},
      {file("inf.libsvm", "1 1:1\n1 2:-inf\n"), libsvm_options(), false,
       "(line 2, entry 1) holds \"2:-inf\"", 0},
      {file("e39.csv", "id,x\na,1\nb,1e39\n"), header_csv, false,
       "Record 2 of", 0},
      {file("id.csv", "id,x\nnan,1\n"), header_csv, true, "Successfully uploaded", 1},
      {wide, headerless_csv, false, "The first line of '" + wide + "' is longer than 16 MiB", 0},
      {bin8, ids_for("a b\nc d e\n"), false,
       "The string ids file '" + ::testing::TempDir() + "orvix-upload-" + std::to_string(getpid()) +
       "-five.txt' holds 5 ids for the 8 vectors of '" + bin8 + "'; nothing was sent", 0},
      {two, libsvm_options("/no/ids"), false, "Failed to open /no/ids", 0},
      {::testing::TempDir(), csv, false, "is not a regular file", 0},
      {"/dev/zero", json_file, false, "'/dev/zero' is not a regular file", 0},
      {bin8, binary("2147483647", "uint8"), false, "'" + bin8 + "' holds no vectors", 0},
      {deep, json_file, false, "Element 1 is nested deeper than 32 levels", 0},
      {huge, json_file, false, "Element 2 holds a number that is not a finite 32-bit value", 0},
      {nan_file, binary("2", "float32"), false,
       "Vector 2 of '" + nan_file + "' holds a value that is not a finite number", 0},
      {seven, binary("4", "uint8"), true,
       "The last 3 byte(s) of '" + seven + "' do not make a whole vector of 4 bytes", 1},
      {two, libsvm_options(three_ids), true,
       "The string ids file holds 1 more id(s) than the data file has records", 1},
      {bin8, {{"file_format", "binary"}, {"collection_name", "d"}, {"binary_dim", "4"},
        {"binary_dtype", "uint8"}, {"string_ids_file_path", "/dev/null"}}, false,
       "'/dev/null' is not a regular file", 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    answer_well();
    session.upload.shard_size = c.shard_size;
    CapturedOutput capture("n\nn\n");  // the column questions
    EXPECT_EQ(handle_upload(session, "p", c.path, upload_options(c.options)), c.result) << c.said;
    EXPECT_NE((capture.out() + capture.err()).find(c.said), std::string::npos) << c.said << "\n"
                                                                               << capture.out();
    EXPECT_EQ(bodies("/upload").size(), c.shards) << c.said;
  }
}

// A dry run reads the whole file as an upload would and sends nothing; each problem is told with
// its record's number (0: before the first record) and byte offset.
TEST_F(UploadTest, ADryRunNamesEachProblemsRecordAndSendsNothing) {
  float floats[6] = {1, 2, 3, 4, 5, 6};
  floats[3] = std::nanf("");
  const std::string nan_floats(reinterpret_cast<const char*>(floats), sizeof floats);
  auto csv = [](bool header, const std::string& id = "") {
    OptionMap options{{"file_format", "csv"},
                      {"collection_name", "d"},
                      {"vector_type", "dense"},
                      {"has_field_names", header ? "true" : "false"}};
    if (!id.empty()) options["vector_id_field_name"] = id;
    return options;
  };
  const OptionMap libsvm = {{"file_format", "libsvm"}, {"collection_name", "d"}};
  const OptionMap json_plain = {{"file_format", "json"},
                                {"collection_name", "d"},
                                {"vector_type", "dense"},
                                {"has_field_names", "false"}};
  OptionMap json_v = json_plain;
  json_v["has_field_names"] = "true";
  json_v["vector_data_field_name"] = "v";
  OptionMap json_id = json_v;
  json_id["vector_id_field_name"] = "id";
  const OptionMap float32 = {{"file_format", "binary"},
                             {"collection_name", "d"},
                             {"binary_dim", "2"},
                             {"binary_dtype", "float32"}};
  OptionMap short_ids = libsvm;
  short_ids["string_ids_file_path"] = file("one-id.txt", "a\n");
  std::string many;
  for (int i = 0; i < 25; ++i) many += "1,x\n";
  struct Case {
    std::string name, contents;
    OptionMap options;
    std::uint64_t records;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> problems;  // record, byte offset
    std::string said;  // part of the first problem's text
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"good.csv", "id,a,b\nx,1,2\ny,3,4.5\n", csv(true, "id"), 2, {}, ""},
      {"shape.csv", "1,2\n3,4\n5\n", csv(false), 3, {{3, 8}}, "has 1 values; the first vector has 2"},
      {"nan.csv", "id,a\nx,1\ny,NaN\n", csv(true, "id"), 2, {{2, 9}}, "holds \"NaN\""},
      {"word.csv", "1,2\n3,two\n", csv(false), 2, {{2, 4}}, "column 2 holds \"two\""},
      {"text.csv", "id,a\n\xff,1\n", csv(true, "id"), 1, {{1, 5}}, "column 1 is not UTF-8 text"},
      {"header.csv", "id,a\n7,1\n", csv(true, "key"), 1, {{0, 0}}, "no column \"key\""},
      {"bad.libsvm", "1 1:2\n1 1:2 a:3\n0 2:\n", libsvm, 3, {{2, 6}, {3, 16}},
       "\"a:3\" is not index:value"},
      {"inf.libsvm", "1 1:inf\n", libsvm, 1, {{1, 0}}, "holds \"1:inf\""},
      {"nested.json", "[[1,2],[[3],4]]", json_plain, 2, {{2, 7}}, "its vector is not a list"},
      {"field.json", R"([{"v":[1]},{"w":[2]}])", json_v, 2, {{2, 11}}, "has no field \"v\""},
      {"nan.bin", nan_floats, float32, 3, {{2, 8}}, "not a finite number"},
      {"ids.libsvm", "1 1:1\n1 1:2\n1 1:3\n", short_ids, 3, {{2, 0}}, "holds 1 ids"},
      {"many.csv", many, csv(false), 25, std::vector<std::pair<std::uint64_t, std::uint64_t>>(20),
       "column 2 holds \"x\""},
      // One rule with the service: blank lines are no records, an index is below 2^32, an
      // element nests at most 32 levels and has its id field, and no id repeats.
      {"blank.csv", "1,2\n \t\n\n3,4\n", csv(false), 2, {}, ""},
      {"index.libsvm", "1 1:2\n1 4294967296:3\n", libsvm, 2, {{2, 6}}, "is not below 2^32"},
      {"deep.json", "[[1],[" + std::string(33, '[') + std::string(33, ']') + "]]", json_plain, 0,
       {{2, 0}}, "nested deeper than 32 levels"},
      {"noid.json", R"([{"v":[1],"id":"a"},{"v":[2]}])", json_id, 2, {{2, 20}}, "has no field \"id\""},
      {"again.csv", "id,a\nx,1\ny,2\nx,3\n", csv(true, "id"), 3, {{3, 13}}, "has the id of record 1"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    OptionMap options = c.options;
    options["dry_run"] = "true";
    CapturedOutput capture;
    EXPECT_EQ(handle_upload(session, "p", file(c.name, c.contents), upload_options(options)),
              c.problems.empty());
    EXPECT_TRUE(service.requests().empty());
    const json& members = session.output.members;
    EXPECT_EQ(members.at("records"), c.records);
    const json& problems = members.at("problems");
    ASSERT_EQ(problems.size(), c.problems.size()) << problems;
    if (c.name == "many.csv") {
      EXPECT_EQ(members.at("more_problems"), 5);
      EXPECT_NE(capture.out().find("... and 5 more problem(s)"), std::string::npos);
      continue;
    }
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(problems[i].at("record"), c.problems[i].first) << problems[i];
      EXPECT_EQ(problems[i].at("offset"), c.problems[i].second) << problems[i];
    }
    if (!problems.empty()) {
      EXPECT_NE(problems[0].at("problem").get<std::string>().find(c.said), std::string::npos)
          << problems[0];
    }
  }
}

TEST_F(UploadTest, AFileCutShortWhileItIsReadFailsTheUpload) {
  session.upload.shard_size =
      1 << 20;  // the reader takes 4 MiB at a time: it is still reading when cut
  const std::string path = file("shrinks.bin", std::string(8 << 20, 'x'));
  service.on("/api/upload", Reply{200, R"({"checksum_server":"s","job_id":"j"})", 100, ""});
  CapturedOutput capture;
  std::thread cutter([&] {
    // The first shard is in flight and the reader is waiting for a buffer: cut the file.
    while (service.requests_to("/api/upload").empty()) std::this_thread::yield();
    EXPECT_EQ(::truncate(path.c_str(), 1 << 20), 0);
  });
  const bool result = handle_upload(session, "p", path,
                                    upload_options({{"file_format", "binary"},
                                                    {"collection_name", "d"},
                                                    {"binary_dim", "4"},
                                                    {"binary_dtype", "uint8"}}));
  cutter.join();
  EXPECT_FALSE(result);
  EXPECT_NE(capture.out().find("The file '" + path + "' changed while it was read"),
            std::string::npos)
      << capture.out();
  EXPECT_EQ(capture.out().find("Successfully uploaded"), std::string::npos);
}

// The file is opened once, when the statement begins: what changes in it before the reader
// comes to it (here, while the dataset's count is asked for the journal) is seen too.
TEST_F(UploadTest, AFileChangedBeforeItsReaderBeginsFailsTheUpload) {
  session.upload.journal_dir = ::testing::TempDir() + "orvix-journals-" + std::to_string(getpid());
  const std::string path = file("grows.libsvm", "1 1:0.5\n");
  service.on("/api/fetch_datasets", Reply{200, R"({"datasets":[]})", 100, ""});
  CapturedOutput capture;
  std::thread writer([&] {
    while (service.requests_to("/api/fetch_datasets").empty()) std::this_thread::yield();
    std::ofstream(path, std::ios::app) << "2 1:0.25\n";
  });
  const bool result = handle_upload(
      session, "p", path, upload_options({{"file_format", "libsvm"}, {"collection_name", "d"}}));
  writer.join();
  std::filesystem::remove_all(session.upload.journal_dir);
  EXPECT_FALSE(result);
  EXPECT_NE(capture.out().find("The file '" + path + "' changed while it was read"),
            std::string::npos)
      << capture.out();
  EXPECT_TRUE(bodies("/upload").empty());
}

// An .npy file as NumPy writes it: magic, version, header length, the header's dictionary padded
// to 64 bytes, then the data.
std::string npy(const std::string& descr, const std::string& shape, const std::string& data,
                int version = 1, const std::string& fortran = "False") {
  std::string header =
      "{'descr': '" + descr + "', 'fortran_order': " + fortran + ", 'shape': " + shape + ", }";
  const std::size_t lead = version == 1 ? 10 : 12;
  header += std::string((64 - (lead + header.size() + 1) % 64) % 64, ' ') + "\n";
  std::string out = "\x93NUMPY" + std::string{static_cast<char>(version), 0};
  for (std::size_t i = 0; i < lead - 8; ++i) out += static_cast<char>(header.size() >> (8 * i));
  return out + header + data;
}

template <class T>
std::string bytes_of(const std::vector<T>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

TEST_F(UploadTest, EmbeddingFilesTravelAsTheSameBinaryShards) {
  session.upload.shard_size = 30;  // two vectors of three float32 a shard
  // Values every stored type holds exactly.
  const std::vector<float> f32 = {0.5f, -1.25f, 2, 0, 1, -0.75f, 3, 4, 0.25f, -2, 8, 1.5f, 6};
  const std::vector<double> f64(f32.begin(), f32.begin() + 12);
  std::vector<std::uint16_t> f16;
  for (const float value : std::vector<float>(f32.begin(), f32.begin() + 12)) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    f16.push_back(static_cast<std::uint16_t>((bits >> 16 & 0x8000u) |
                                             (value == 0 ? 0 : ((bits >> 23 & 0xffu) - 112) << 10) |
                                             (bits >> 13 & 0x3ffu)));
  }
  const std::string raw = bytes_of(std::vector<float>(f32.begin(), f32.begin() + 12));
  const std::string bytes = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c";
  std::string fvecs, bvecs;
  for (int v = 0; v < 4; ++v) {
    fvecs += bytes_of(std::vector<std::int32_t>{3}) + raw.substr(12 * v, 12);
    bvecs += bytes_of(std::vector<std::int32_t>{3}) + bytes.substr(3 * v, 3);
  }
  auto options = [](const std::string& format, OptionMap more = {}) {
    more.insert({{"file_format", format}, {"collection_name", "d"}});
    return more;
  };
  auto upload = [&](const std::string& name, const std::string& contents, OptionMap given) {
    answer_well();
    CapturedOutput capture;
    const bool ok =
        handle_upload(session, "p", file(name, contents), upload_options(std::move(given)));
    return std::make_tuple(ok, shards(), capture.out() + capture.err());
  };
  const auto floats =
      upload("raw.bin", raw, options("binary", {{"binary_dim", "3"}, {"binary_dtype", "float32"}}));
  const auto uint8 = upload("raw8.bin", bytes,
                            options("binary", {{"binary_dim", "3"}, {"binary_dtype", "uint8"}}));
  ASSERT_EQ(std::get<1>(floats).size(), 2U);
  struct Case {
    std::string name, contents;
    OptionMap options;
    const std::tuple<bool, std::vector<Shard>, std::string>* same_as = nullptr;
  };
  // clang-format off
  const std::vector<Case> same = {
      {"f4.npy", npy("<f4", "(4, 3)", raw), options("npy"), &floats},
      {"f8.npy", npy("<f8", "(4, 3)", bytes_of(f64), 3), options("npy",
        {{"binary_dim", "3"}, {"binary_dtype", "float32"}}), &floats},
      {"f2.npy", npy("<f2", "(4L, 3L)", bytes_of(f16), 2), options("npy"), &floats},
      {"u1.npy", npy("|u1", "(4, 3)", bytes), options("npy"), &uint8},
      {"v.fvecs", fvecs, options("fvecs"), &floats},
      {"v.bvecs", bvecs, options("bvecs"), &uint8},
  };
  // clang-format on
  for (const auto& c : same) {
    SCOPED_TRACE(c.name);
    const auto [ok, sent, said] = upload(c.name, c.contents, c.options);
    EXPECT_TRUE(ok) << said;
    ASSERT_EQ(sent.size(), std::get<1>(*c.same_as).size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].data, std::get<1>(*c.same_as)[i].data);
      EXPECT_EQ(sent[i].body, std::get<1>(*c.same_as)[i].body);
    }
  }
  std::string seven_dims = fvecs;
  seven_dims[2 * 16] = 7;  // the third vector's dimension
  const std::vector<double> too_large = {1, 2, 3, 1e300, 0, 0};
  // clang-format off
  const std::vector<std::pair<Case, std::string>> refused = {
      {{"big.npy", npy(">f4", "(4, 3)", raw), options("npy")}, "dtype '>f4' (big-endian)"},
      {{"f.npy", npy("<f4", "(4, 3)", raw, 1, "True"), options("npy")}, "Fortran order"},
      {{"r3.npy", npy("<f4", "(2, 2, 3)", raw), options("npy")}, "has 3 dimension(s)"},
      {{"s.npy", npy("<f4", "(4, 3)", raw).replace(20, 5, "[('a', '<f4')]"), options("npy")},
       "structured dtype"},
      {{"o.npy", npy("|O", "(4, 3)", raw), options("npy")}, "dtype '|O'"},
      {{"lie.npy", npy("<f4", "(5, 3)", raw), options("npy")},
       "header says 5 x 3 values, but it holds 48 bytes"},
      {{"v4.npy", npy("<f4", "(4, 3)", raw, 4), options("npy")}, "versions 1 to 3"},
      {{"not.npy", raw, options("npy")}, "does not begin as a NumPy .npy file does"},
      {{"inf.npy", npy("<f8", "(2, 3)", bytes_of(too_large)), options("npy")},
       "Vector 2 of '"},
      {{"dim.npy", npy("<f4", "(4, 3)", raw), options("npy", {{"binary_dim", "4"}})},
       "--binary_dim 4 disagrees"},
      {{"type.npy", npy("<f4", "(4, 3)", raw), options("npy", {{"binary_dtype", "uint8"}})},
       "--binary_dtype uint8 disagrees"},
      {{"seven.fvecs", seven_dims, options("fvecs")}, "has dimension 7, not the first vector's 3"},
  };
  // clang-format on
  for (const auto& [c, said_part] : refused) {
    SCOPED_TRACE(c.name);
    const auto [ok, sent, said] = upload(c.name, c.contents, c.options);
    EXPECT_FALSE(ok);
    EXPECT_NE(said.find(said_part), std::string::npos) << said;
    // What the header tells is refused before anything is sent.
    if (c.name.find(".npy") != std::string::npos && c.name != "inf.npy") {
      EXPECT_TRUE(sent.empty());
    }
  }
}

}  // namespace

namespace {

// A dry run names the shards the upload sends, in every format and with string ids.
TEST_F(UploadTest, ADryRunCountsTheShardsTheUploadSends) {
  std::string csv = "id,a,b\n", lines, json = "[", libsvm, binary, ids;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    csv += "r" + n + "," + n + ",0.5\n";
    lines += n + ",0.5\n";
    json += std::string(i == 0 ? "" : ",") + "{\"v\":[" + n + ",0.5]}";
    libsvm += "1:" + n + " 2:0.5\n";
    const float values[] = {static_cast<float>(i), 0.5f};
    binary.append(reinterpret_cast<const char*>(values), sizeof values);
    ids += "r" + n + "\n";
  }
  const OptionMap dense = {{"collection_name", "d"}, {"vector_type", "dense"}};
  auto with = [&](OptionMap more) {
    more.insert(dense.begin(), dense.end());
    return more;
  };
  const std::vector<std::pair<std::string, OptionMap>> uploads = {
      {file("s.csv", csv), with({{"file_format", "csv"}, {"vector_id_field_name", "id"}})},
      {file("h.csv", lines), with({{"file_format", "csv"}, {"has_field_names", "false"}})},
      {file("s.json", json + "]"),
       with({{"file_format", "json"}, {"vector_data_field_name", "v"}})},
      {file("s.libsvm", libsvm),
       {{"file_format", "libsvm"},
        {"collection_name", "d"},
        {"string_ids_file_path", file("ids", ids)}}},
      {file("s.bin", binary),
       {{"file_format", "binary"},
        {"collection_name", "d"},
        {"binary_dim", "2"},
        {"binary_dtype", "float32"}}},
      {file("s.npy", npy("<f4", "(40, 2)", binary)),
       {{"file_format", "npy"}, {"collection_name", "d"}}},
  };
  for (const auto& [path, options] : uploads) {
    SCOPED_TRACE(path);
    for (const int shard_size : {1, 100, 1000}) {
      answer_well();
      session.upload.shard_size = shard_size;
      OptionMap dry = options;
      dry["dry_run"] = "true";
      CapturedOutput capture("n\nn\n");
      EXPECT_TRUE(handle_upload(session, "p", path, upload_options(dry))) << capture.out();
      const auto shards = session.output.members.at("shards").get<std::size_t>();
      EXPECT_TRUE(handle_upload(session, "p", path, upload_options(options)));
      EXPECT_EQ(bodies("/upload").size(), shards) << shard_size;
    }
  }
}

}  // namespace
