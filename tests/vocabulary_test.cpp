#include <gtest/gtest.h>

#include <map>

#include "language/statement.h"
#include "language/vocabulary.h"
#include "tests/support/capture.h"

namespace {

// The arguments a help's format line names at its top level: "<name>" and "[<name>]" by name,
// a bracketed list as "[list]".
std::vector<std::string> documented_arguments(const std::string& format) {
  std::vector<std::string> names;
  int depth = 0;
  for (std::size_t at = 0; at < format.size(); ++at) {
    const char c = format[at];
    if (c == '[' && depth++ == 0) {
      const auto close = format.find(']', at);
      const std::string inside = format.substr(at + 1, close - at - 1);
      const bool one = inside.size() > 2 && inside.front() == '<' && inside.back() == '>' &&
                       inside.find_first_of("<>, ", 1) == inside.size() - 1;
      names.push_back(one ? inside.substr(1, inside.size() - 2) : "[list]");
    } else if (c == ']') {
      --depth;
    } else if (c == '<' && depth == 0) {
      const auto close = format.find('>', at);
      names.push_back(format.substr(at + 1, close - at - 1));
      at = close;
    }
  }
  return names;
}

// Every statement's documented form, made a line (placeholders become words, "..." and its
// comma go), parses into that statement; one word more is refused, and so is one argument less
// unless the table calls it optional. The grammar and the table say the same of every statement.
TEST(Vocabulary, EveryStatementParsesInTheFormItsHelpGives) {
  const std::map<std::string, std::string> checked_words = {{"<large_index>", "true"},
                                                            {"<vector_type>", "sparse"}};
  const std::map<std::string, std::string> required = {{"UPLOAD", " --file_format libsvm"}};
  for (const auto& entry : statement_table()) {
    std::vector<std::string> forms;
    for (const char* line : entry.help) {
      const std::string text = line;
      if (text.rfind("Format", 0) == 0) forms.push_back(text.substr(text.find(": ") + 2));
    }
    if (forms.empty()) forms.push_back(entry.keyword);
    for (std::string form : forms) {
      SCOPED_TRACE(form);
      form = form.substr(0, std::min(form.find(" options"), form.find(" ;")));
      const auto names = documented_arguments(form);
      ASSERT_EQ(names.size(), entry.arguments.size());
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] != "[list]") {
          EXPECT_EQ(names[i], entry.arguments[i].name);
        }
      }
      std::string line;
      for (std::size_t at = 0; at < form.size();) {
        if (form.compare(at, 5, "..., ") == 0) {
          at += 5;
        } else if (form[at] == '<') {
          const std::string placeholder = form.substr(at, form.find('>', at) + 1 - at);
          line += checked_words.count(placeholder) ? checked_words.at(placeholder) : "w";
          at += placeholder.size();
        } else {
          line += form[at++];
        }
      }
      // An optional argument's brackets go: "[w]" at the end of the form is the word itself.
      if (line.size() > 3 && line.compare(line.size() - 3, 3, "[w]") == 0) {
        line.replace(line.size() - 3, 3, "w");
      }
      const std::string tail = required.count(entry.keyword) ? required.at(entry.keyword) : "";
      testing_support::CapturedOutput quiet;
      const ParsedLine whole = parse_statement_line(line + tail);
      EXPECT_TRUE(whole.ok && whole.statement) << line;
      EXPECT_FALSE(parse_statement_line(line + " extra" + tail).statement) << line;
      if (entry.arguments.empty()) continue;
      const bool optional = entry.arguments.back().optional;
      const std::string shorter = line.substr(0, line.rfind(' '));
      EXPECT_EQ(parse_statement_line(shorter + tail).statement.has_value(), optional) << shorter;
    }
  }
}

// Every option is taken by some statement (but -h, every statement's, and --dim, held back so
// that it is refused everywhere), documented in its help, and parsed by the grammar into the
// statement with a value of its kind.
TEST(Vocabulary, EveryOptionIsDocumentedAndKnownToTheGrammar) {
  const std::map<std::string, std::string> lines = {
      {"INSERT_VECTOR", "INSERT_VECTOR p d id [1]"},
      {"INSERT_VECTOR_BATCH", "INSERT_VECTOR_BATCH p d [a] [[1]]"},
      {"SEARCH", "SEARCH p d i vector"},
      {"UPLOAD", "UPLOAD p f"}};
  const std::map<OptionKind, std::string> values = {{OptionKind::kFlag, ""},
                                                    {OptionKind::kText, " x"},
                                                    {OptionKind::kInteger, " 3"},
                                                    {OptionKind::kYesNo, " no"},
                                                    {OptionKind::kWords, " [a]"},
                                                    {OptionKind::kPairs, " [k:v]"},
                                                    {OptionKind::kPairLists, " [[k:v]]"}};
  for (const auto& option : option_table()) {
    const std::string typed = std::string("--") + option.name;
    EXPECT_EQ(option.uses.empty(), typed == "--h" || typed == "--dim") << typed;
    for (const OptionUse& use : option.uses) {
      const StatementDef& entry = statement_def(use.statement);
      std::string help;
      for (const char* line : entry.help) help += std::string(line) + "\n";
      EXPECT_NE(help.find("\"" + typed + "\""), std::string::npos) << use.statement << typed;
      const std::string value = use.kind == OptionKind::kOneOf
                                    ? std::string(" ") + option.values.at(0)
                                    : values.at(use.kind);
      std::string line = lines.at(use.statement) + " " + typed + value;
      if (entry.keyword == std::string("UPLOAD") && typed != "--file_format")
        line += " -file_format libsvm";
      testing_support::CapturedOutput capture;
      const ParsedLine parsed = parse_statement_line(line);
      ASSERT_TRUE(parsed.statement) << line << capture.out();
      const Options& given = std::visit(
          [](const auto& s) -> const Options& {
            if constexpr (requires { s.options; }) return s.options;
            throw std::logic_error("a statement without options");
          },
          *parsed.statement);
      EXPECT_FALSE(given.left_over().empty()) << line;
      EXPECT_EQ(given.given.front().first, &option) << line;
    }
  }
  for (const auto& entry : statement_table()) {
    const StatementDef* statement = nullptr;
    EXPECT_EQ(reserved_word_token(entry.keyword, &statement), entry.token);
    EXPECT_EQ(statement, &entry);
  }
}

// UPLOAD -h names the formats from their table, in the words it always had.
TEST(Vocabulary, UploadHelpNamesEveryFormat) {
  const StatementDef* upload = nullptr;
  reserved_word_token("UPLOAD", &upload);
  ASSERT_NE(upload, nullptr);
  std::string help;
  for (const char* line : upload->help) help += std::string(line) + "\n";
  EXPECT_NE(help.find("- \"--file_format\" (required): file format, either \"csv\", \"json\", "
                      "\"libsvm\", or \"binary\".\n  Embedding files are read too: \"npy\" (a "
                      "NumPy 2-D array of float32, float64, float16 or uint8), \"fvecs\" and "
                      "\"bvecs\"; they are sent as binary vectors, with their dimension and value "
                      "type taken from the file.\n"),
            std::string::npos)
      << help;
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
      {"UPLOAD p f.csv --file_format ",
       "",
       {"csv", "json", "libsvm", "binary", "npy", "fvecs", "bvecs"},
       false},
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
