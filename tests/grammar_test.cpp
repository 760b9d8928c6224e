#include <gtest/gtest.h>

#include <functional>

#include "language/vocabulary.h"
#include "tests/language_test_util.h"

namespace {

std::string help_of(const char* keyword) {
  testing_support::CapturedOutput capture;
  print_help(statement_def(keyword));
  return capture.out();
}

std::string command_list() {
  testing_support::CapturedOutput capture;
  print_command_list();
  return capture.out();
}

struct GrammarCase {
  std::string line;
  std::string out;                 // whole standard output
  std::vector<std::string> calls;  // the statement built, if any
  bool ok;
};

TEST(Grammar, OutcomesOfWellAndMalformedLines) {
  const std::string list = command_list();
  // clang-format off
  const std::vector<GrammarCase> cases = {
      {"", "", {}, true},
      {"foo -h", list, {}, true},
      {"HELP", list, {}, true},
      {"HELP foo", kSyntaxError + list, {}, false},
      {"foo bar", kSyntaxError, {}, false},
      {"EXIT", kSyntaxError, {}, false},
      {"ATTACH_INDEX -h", help_of("ATTACH_INDEX"), {}, true},
      {"ATTACH_INDEX p d", kSyntaxError + help_of("ATTACH_INDEX"), {}, false},
      {"FETCH_PROJECTS x", kSyntaxError + help_of("FETCH_PROJECTS"), {}, false},
      {"FETCH_PROJECTS", "", {"fetch_projects"}, true},
      {"DELETE_PROJECT p extra", kSyntaxError + help_of("DELETE_PROJECT"), {}, false},
      {"CREATE_PROJECT p search", "", {"create_project p search"}, true},
      {"CREATE_PROJECT p SEARCH", "", {"create_project p search"}, true},
      {"CREATE_PROJECT p \"Search\"", "", {"create_project p Search"}, true},
      {"CREATE_PROJECT p upload", kSyntaxError + help_of("CREATE_PROJECT"), {}, false},
      {"INSERT_VECTOR p d id [1,]", kSyntaxError + help_of("INSERT_VECTOR"), {}, false},
      {"DELETE_VECTOR p d []", kSyntaxError + help_of("DELETE_VECTOR"), {}, false},
      {"SEARCH p d i vector --top_k", kSyntaxError + help_of("SEARCH"), {}, false},
      {"SEARCH p d i vector --dataset_name x", kSyntaxError + help_of("SEARCH"), {}, false},
      {"UPLOAD p f --query_dataset_name x", kSyntaxError + help_of("UPLOAD"), {}, false},
      {"LIST_INDEX p d", "", {"list_index_infos p d"}, true},
      {"FETCH_DATASETS p", "", {"fetch_datasets p"}, true},
      {"ATTACH_INDEX p d i L2", "", {"attach_index p d i L2 false"}, true},
      {"ATTACH_INDEX p d i L2 YES", "", {"attach_index p d i L2 true"}, true},
      {"ATTACH_INDEX p d i L2 0", "", {"attach_index p d i L2 false"}, true},
      {"ATTACH_INDEX p d i L2 maybe",
       language_error("Invalid value for large_index. Expected one of: \"true\", \"false\", "
                      "\"yes\", \"no\", \"1\", \"0\"."), {}, false},
      {"INIT_DATASET p d sparse", "", {"init_dataset p d sparse 0"}, true},
      {"INIT_DATASET p d Sparse",
       language_error("vector_dim is required for non-sparse vector types") +
           help_of("INIT_DATASET"), {}, false},
      {"INIT_DATASET p d sparse 8",
       "\033[33m[WARNING] vector_dim is ignored for sparse vector type\033[0m\n",
       {"init_dataset p d sparse 8"}, true},
      {"INIT_DATASET p d dense 12abc", "", {"init_dataset p d dense 12abc"}, true},
      {"LIST_INDEX p -dim", kSyntaxError + help_of("LIST_INDEX"), {}, false},
      {"INSERT_VECTOR p d id [a:1,]", "", {R"(insert_sparse p d id {"a":"1"} {})"}, true},
      {"INSERT_VECTOR p d id []", "", {"insert_sparse p d id {} {}"}, true},
      {"INSERT_VECTOR p d id [1, 2.5]", "", {"insert_dense p d id [1|2.5] {}"}, true},
      {"INSERT_VECTOR p d id [3:0.5, 1:0.2, 3:9]", "",
       {R"(insert_sparse p d id {"1":"0.2","3":"0.5"} {})"}, true},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1, 2]]", "", {"batch_dense p d [a|b] [[1|2]] {}"}, true},
      {"INSERT_VECTOR_BATCH p d [a] [[1:2],[3:4]] --vector_attributes [[c:1],[]]", "",
       {R"(batch_sparse p d [a] [{"1":"2"}|{"3":"4"}] {vector_attributes=[{"c":"1"},{}];})"}, true},
      {"DELETE_VECTOR p d [x, y]", "", {"delete_vector p d [x|y]"}, true},
      {"SEARCH p d i row --row_number 3", "", {"search p d i row {row_number=3;}"}, true},
      {"INSERT_VECTOR_BATCH p d [a] [,[1]]", "", {"batch_dense p d [a] [[1]] {}"}, true},
      {"INSERT_VECTOR_BATCH p d [a] [[]]", "", {"batch_sparse p d [a] [{}] {}"}, true},
      {"INSERT_VECTOR_BATCH p d [a] [[1],]", kSyntaxError + help_of("INSERT_VECTOR_BATCH"), {},
       false},
      {"INSERT_VECTOR_BATCH p d [a] [[1], [2:3]]", kSyntaxError + help_of("INSERT_VECTOR_BATCH"),
       {}, false},
      {"SEARCH p d i vector --query_vector [] --target_values [a,]", "",
       {R"(search p d i vector {query_vector=[];target_value=["a"];})"}, true},
      {"SEARCH p d i vector --query_vector [,]", kSyntaxError + help_of("SEARCH"), {}, false},
      // Options: repetitions, normalised words, the UPLOAD statement's own rules.
      {"INSERT_VECTOR p d id [1] --vector_attributes [c:red]", "",
       {R"(insert_dense p d id [1] {vector_attributes={"c":"red"};})"}, true},
      {"UPLOAD p f.csv --dataset_name a --dataset_name b --file_format csv",
       language_error("Repeated argument collection_name"), {}, false},
      {"UPLOAD p f --file_format libsvm --has_field_names YES", "",
       {"upload p f {file_format=libsvm;has_field_names=true;}"}, true},
      {"UPLOAD p f --file_format libsvm --has_field_names 0", "",
       {"upload p f {file_format=libsvm;has_field_names=false;}"}, true},
      {"UPLOAD p f --has_field_names yes --has_field_names MAYBE --file_format json",
       language_error("Invalid value for HAS_FIELD_NAMES: maybe"), {}, false},
      {"UPLOAD p f.csv --dataset_name a",
       language_error("Missing required argument: --file_format") + help_of("UPLOAD"), {}, false},
      {"UPLOAD p f.json --file_format json",
       language_error("Missing required argument: --has_field_names (required for csv/json)") +
           help_of("UPLOAD"), {}, false},
      {"UPLOAD p f.bin --file_format binary --binary_dim 99999999999",
       language_error("binary_dim must be an integer") + help_of("UPLOAD"), {}, false},
      {"UPLOAD p f.npy --file_format npy --binary_dtype int8",
       language_error("Argument binary_dtype must be \"uint8\" or \"float32\", not \"int8\"") +
           help_of("UPLOAD"), {}, false},
      {"INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes [c:1]",
       kSyntaxError + help_of("INSERT_VECTOR_BATCH"), {}, false},
      {"UPLOAD p f.bin --file_format binary --binary_dim \" 12abc\"", "",
       {"upload p f.bin {binary_dim= 12abc;file_format=binary;}"}, true},
      {"UPLOAD p f.csv --file_format CSV --dataset_name a", "",
       {"upload p f.csv {collection_name=a;file_format=CSV;}"}, true},
      // Words and strings that are not UTF-8 stop the statement.
      {"SEARCH p d i vector --query_vector [\"\xff\"]", language_error("Invalid UTF-8 in argument"),
       {}, false},
      {"UPLOAD p f --attributes [\"a\xc3\"]", language_error("Invalid UTF-8 in argument"), {},
       false},
      {"CREATE_PROJECT caf\xe9 search", language_error("Invalid UTF-8 in argument"), {}, false},
      {"DELETE_PROJECT \"p\xed\xa0\x80\"", language_error("Invalid UTF-8 in argument"), {}, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    const LineOutcome outcome = run_line(c.line);
    // SEARCH option traces come in the map's own order; they are checked in the option tests.
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find("[Orvix] search_options")),
              c.out.substr(0, c.out.find("[Orvix] search_options")))
        << c.line;
    EXPECT_EQ(outcome.calls, c.calls) << c.line;
    EXPECT_EQ(outcome.ok, c.ok) << c.line;
  }
}

TEST(Grammar, HostileInputNeverCrashes) {
  std::string many_items = "SEARCH p d i vector --query_vector [";
  for (int i = 0; i < 100000; ++i) many_items += std::to_string(i) + ",";
  many_items += "]";
  std::string nested(200000, '[');
  const std::vector<std::string> lines = {
      std::string("FETCH_PROJECTS\0x", 16),
      std::string("\0\0\0", 3),
      "\x80\x81\xfe\xff FETCH_PROJECTS \xc3",
      "\"unterminated FETCH_PROJECTS",
      "CREATE_PROJECT \"" + std::string(5'000'000, 'x') + "\" both",
      std::string(4'000'000, 'a') + " -h",
      many_items,
      "INSERT_VECTOR p d id " + nested,
      "UPLOAD p f --attributes [" + std::string(100000, ',') + "]",
  };
  for (const auto& line : lines) {
    const LineOutcome outcome = run_line(line);
    SUCCEED();
  }
  EXPECT_TRUE(run_line(many_items).ok);
  EXPECT_EQ(run_line(std::string("FETCH_PROJECTS\0", 15)).calls,
            std::vector<std::string>{"fetch_projects"});
}

}  // namespace
