#include <gtest/gtest.h>

#include "language/vocabulary.h"
#include "tests/support/capture.h"

namespace {

// Every option a statement offers is reserved, documented in its help and known to the grammar.
TEST(Vocabulary, OptionsAreReservedAndDocumented) {
  for (const auto& entry : statement_table()) {
    std::string help;
    for (const char* line : entry.help) help += std::string(line) + "\n";
    for (const char* option : entry.options) {
      const StatementDef* statement = nullptr;
      EXPECT_NE(reserved_word_token(option, &statement), 0) << option;
      EXPECT_NE(help.find(std::string("\"") + option + "\""), std::string::npos)
          << entry.keyword << " " << option;
    }
    const StatementDef* statement = nullptr;
    EXPECT_EQ(reserved_word_token(entry.keyword, &statement), entry.token);
    EXPECT_EQ(statement, &entry);
  }
}

TEST(CommandTable, CompletionCandidates) {
  struct Case {
    std::string before, word;
    std::vector<std::string> expected;
    bool file;
  };
  const std::vector<Case> cases = {
      {"", "SEA", {"SEARCH"}, false},
      {"", "del", {"DELETE_DATASET", "DELETE_INDEX", "DELETE_PROJECT", "DELETE_VECTOR"}, false},
      {"  ", "he", {"HELP"}, false},
      {"SEARCH p d i ", "ve", {"vector"}, false},
      {"search p d i vector ", "--top", {"--top_k"}, false},
      {"UPLOAD p f.csv --file_format ", "", {"csv", "json", "libsvm", "binary"}, false},
      {"UPLOAD p f.csv --FILE_FORMAT ", "l", {"libsvm"}, false},
      {"SEARCH p d i vector --filter_type ", "", {"equality", "range"}, false},
      {"UPLOAD p ", "da", {}, true},
      {"SEARCH p d i file --file_path ", "/tm", {}, true},
      {"UPLOAD p f --string_ids_file_path ", "", {}, true},
      {"UPLOAD p f ", "--dataset", {"--dataset_name"}, false},
      {"SEARCH p d i vector ", "--dataset", {}, false},
      {"NOPE ", "--", {}, false},
      {"FETCH_PROJECTS ", "-", {"-h"}, false},
  };
  for (const auto& c : cases) {
    bool file = false;
    EXPECT_EQ(completion_candidates(c.before, c.word, file), c.expected) << c.before << c.word;
    EXPECT_EQ(file, c.file) << c.before << c.word;
  }
}

}  // namespace
