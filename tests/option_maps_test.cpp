#include <gtest/gtest.h>

#include "language/option_maps.h"
#include "language/vocabulary.h"
#include "tests/language_test_util.h"

namespace {

std::string trace(const std::string& text) {
  return "\033[32m[Orvix] " + text + "\033[0m\n";
}

TEST(OptionMaps, JsonTextForms) {
  std::string text;
  ASSERT_TRUE(key_values_to_json({{"3", "0.5"}, {"1", "0.2"}, {"3", "9"}}, text));
  EXPECT_EQ(text, R"({"1":"0.2","3":"0.5"})");
  ASSERT_TRUE(key_values_to_json({{"2", "a"}, {"10", "b"}}, text));
  EXPECT_EQ(text, R"({"10":"b","2":"a"})");
  ASSERT_TRUE(key_values_to_json({}, text));
  EXPECT_EQ(text, "{}");
  ASSERT_TRUE(strings_to_json_array({"0.1", "-2", "x\"y", "\xc3\xa9"}, text));
  EXPECT_EQ(text, "[\"0.1\",\"-2\",\"x\\\"y\",\"\xc3\xa9\"]");
  ASSERT_TRUE(strings_to_json_array({}, text));
  EXPECT_EQ(text, "[]");
  ASSERT_TRUE(object_texts_to_json_array({R"({"a":"1"})", "{}"}, text));
  EXPECT_EQ(text, R"([{"a":"1"},{}])");
}

TEST(OptionMaps, InvalidUtf8AbortsTheStatement) {
  for (const std::string line :
       {"SEARCH p d i vector --query_vector [\"\xff\"]", "UPLOAD p f --attributes [\"a\xc3\"]",
        "INSERT_VECTOR p d id [\"k\xfe\":1]", "CREATE_PROJECT caf\xe9 search",
        "DELETE_PROJECT \"p\xed\xa0\x80\""}) {
    const LineOutcome outcome = run_line(line);
    EXPECT_NE(outcome.out.find(language_error("Invalid UTF-8 in argument")), std::string::npos)
        << line;
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.calls.empty()) << line;
  }
}

TEST(OptionMaps, RepeatedOptionIsRefused) {
  const LineOutcome outcome =
      run_line("UPLOAD p f.csv --dataset_name a --dataset_name b --file_format csv");
  EXPECT_EQ(outcome.err, trace("collection_name") + trace("collection_name"));
  EXPECT_EQ(outcome.out, language_error("Repeated argument collection_name"));
  EXPECT_FALSE(outcome.ok);
}

TEST(OptionMaps, SearchOptionsAreTracedOnStandardOutput) {
  const LineOutcome outcome = run_line("SEARCH p d i vector --query_vector [1, 2.5] --top_k 3");
  const std::string qv = "[Orvix] search_options: query_vector = [\"1\",\"2.5\"]\n";
  const std::string tk = "[Orvix] search_options: top_k = 3\n";
  EXPECT_TRUE(outcome.out == qv + qv + tk || outcome.out == qv + tk + qv) << outcome.out;
  EXPECT_EQ(outcome.err, trace("query_vector") + trace("top_k"));
}

TEST(OptionMaps, InsertVectorOptionsAreTracedOnStandardError) {
  const LineOutcome outcome = run_line("INSERT_VECTOR p d id [1] --vector_attributes [c:red]");
  EXPECT_EQ(outcome.err, trace("vector_attributes") +
                             trace("insert_vector_options: vector_attributes = {\"c\":\"red\"}"));
}

TEST(OptionMaps, HasFieldNamesIsNormalisedBeforeTheRepetitionCheck) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"YES", "true"}, {"1", "true"}, {"True", "true"}, {"no", "false"}, {"0", "false"}};
  for (const auto& [word, stored] : cases) {
    const LineOutcome outcome =
        run_line("UPLOAD p f --file_format libsvm --has_field_names " + word);
    EXPECT_NE(outcome.err.find("[ARG] has_field_names = " + stored), std::string::npos) << word;
  }
  const LineOutcome bad =
      run_line("UPLOAD p f --has_field_names yes --has_field_names MAYBE --file_format json");
  EXPECT_EQ(bad.out, language_error("Invalid value for HAS_FIELD_NAMES: maybe"));
  EXPECT_EQ(bad.err, trace("has_field_names"));
}

std::string upload_help() {
  testing_support::CapturedOutput capture;
  print_help(statement_spec("UPLOAD"));
  return capture.out();
}

TEST(UploadStatement, RequirementsOfTheCommandLanguage) {
  const std::vector<std::pair<std::string, std::string>> rejected = {
      {"UPLOAD p f.csv --dataset_name a", "Missing required argument: --file_format"},
      {"UPLOAD p f.csv --file_format csv",
       "Missing required argument: --has_field_names (required for csv/json)"},
      {"UPLOAD p f.json --file_format json",
       "Missing required argument: --has_field_names (required for csv/json)"},
      {"UPLOAD p f.bin --file_format binary --binary_dim abc", "binary_dim must be an integer"},
      {"UPLOAD p f.bin --file_format binary --binary_dim 99999999999",
       "binary_dim must be an integer"},
  };
  for (const auto& [line, message] : rejected) {
    const LineOutcome outcome = run_line(line);
    EXPECT_EQ(outcome.out, language_error(message) + upload_help()) << line;
    EXPECT_FALSE(outcome.ok);
  }
  const LineOutcome accepted =
      run_line("UPLOAD p f.bin --file_format binary --binary_dim \" 12abc\"");
  EXPECT_EQ(accepted.out, "");
  EXPECT_NE(accepted.err.find(trace("[UPLOAD] File: f.bin")), std::string::npos);
  EXPECT_NE(accepted.err.find(trace("[ARG] binary_dim =  12abc")), std::string::npos);
  EXPECT_EQ(run_line("UPLOAD p f.csv --file_format CSV --dataset_name a").out, "");
}

}  // namespace
