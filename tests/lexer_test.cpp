#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "language/env_expand.h"
#include "language/parse_context.h"
#include "language/scan_notes.h"
#include "parser.tab.h"
// The scanner header needs the parser's value type first.
#include "lexer.yy.h"

int yylex(language::Parser::value_type* value, yyscan_t scanner);

namespace {

using T = language::Parser::token;

std::string token_name(int token) {
  // clang-format off
  static const std::map<int, std::string> names = {
      {T::ATTACH_INDEX, "ATTACH_INDEX"}, {T::HELP_FLAG, "HELP_FLAG"},
      {T::HELP, "HELP"}, {T::NEWLINE, "NL"}, {T::LBRACKET, "["}, {T::RBRACKET, "]"},
      {T::COLON, ":"}, {T::COMMA, ","}, {T::SEARCH, "SEARCH"},
      {T::LIST_INDEX_INFO, "LIST_INDEX_INFO"},
      {T::INSERT_VECTOR, "INSERT_VECTOR"}, {T::INSERT_VECTOR_BATCH, "INSERT_VECTOR_BATCH"},
      {T::UPLOAD, "UPLOAD"}};
  // clang-format on
  const auto found = names.find(token);
  return found == names.end() ? "token" + std::to_string(token) : found->second;
}

// The token stream of one line, words shown as 'text'.
std::string scan(const std::string& line) {
  yyscan_t scanner;
  ScanNotes notes;
  yylex_init_extra(&notes, &scanner);
  yy_scan_bytes(line.data(), static_cast<int>(line.size()), scanner);
  std::string out;
  language::Parser::value_type value;
  for (int token; (token = yylex(&value, scanner)) != 0;) {
    if (!out.empty()) out += ' ';
    if (token == T::STRING_LITERAL) {
      out += "'" + value.as<std::string>() + "'";
      value.destroy<std::string>();
    } else if (token == T::NUMBER_LIST) {
      std::string words;
      for (const auto& word : value.as<WordRows>().row(0))
        words += (words.empty() ? "'" : ",'") + word + "'";
      out += "[" + words + "]";
      value.destroy<WordRows>();
    } else if (token == T::OPTION || token == T::FLAG) {
      // An option shows as its table name in capitals.
      for (const char* c = value.as<const OptionDef*>()->name; *c != '\0'; ++c) {
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
      }
      value.destroy<const OptionDef*>();
    } else {
      out += token_name(token);
      if (token == T::SEARCH || token == T::UPLOAD || token == T::ATTACH_INDEX ||
          token == T::LIST_INDEX_INFO || token == T::INSERT_VECTOR ||
          token == T::INSERT_VECTOR_BATCH) {
        value.destroy<const StatementDef*>();
      }
    }
  }
  yylex_destroy(scanner);
  for (const auto& [byte, column] : notes.dropped) {
    out +=
        " (dropped " + std::string(1, static_cast<char>(byte)) + "@" + std::to_string(column) + ")";
  }
  if (notes.unterminated_quote) out += " (unterminated)";
  return notes.invalid_text ? out + " (not UTF-8)" : out;
}

TEST(Lexer, TokensFollowLongestMatchThenFirstRule) {
  setenv("ORVIX_TEST_HOME", "/Users/x", 1);
  unsetenv("ORVIX_TEST_NOPE");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"attach_index Attach_Index ATTACH_INDEX attach_indexes\n",
       "ATTACH_INDEX ATTACH_INDEX ATTACH_INDEX 'attach_indexes' NL"},
      {"-h --h -H -help --help -hx\n", "HELP_FLAG HELP_FLAG HELP_FLAG '-help' '--help' '-hx' NL"},
      {"--TOP_K -top_k --top_kx --top_k5\n", "TOP_K TOP_K '--top_kx' '--top_k5' NL"},
      // A list of plain numbers is one token; any other list is its pieces.
      {"[1.0, -2.5]\n", "['1.0','-2.5'] NL"},
      {"[ 1 ,\t-2e-3\r]x [7]\n", "['1','-2e-3'] 'x' ['7'] NL"},
      {"[1e+5, 2] [1, a] [1,2,] [1 2] [-, 1] [] [1\n",
       "[ '1e' '5' , '2' ] [ '1' , 'a' ] [ '1' , '2' , ] [ '1' '2' ] [ '-' , '1' ] [ ] [ '1' NL "
       "(dropped +@4)"},
      {"3:0.5\n", "'3' : '0.5' NL"},

      {"a=b\n", "'a' 'b' NL (dropped =@2)"},
      {"h\xc3\xa9llo \"h\xc3\xa9llo\" caf\xc3\xa9\n",
       "'h\xc3\xa9llo' 'h\xc3\xa9llo' 'caf\xc3\xa9' NL"},
      {"caf\xe9 search\n", "'caf\xe9' SEARCH NL (not UTF-8)"},
      {"\"\xc0\xaf\"\n", "'\xc0\xaf' NL (not UTF-8)"},
      {"$ORVIX_TEST_HOME/data \"${ORVIX_TEST_HOME}/d e\" $ORVIX_TEST_NOPE/x\n",
       "'/Users/x/data' '/Users/x/d e' '$ORVIX_TEST_NOPE/x' NL"},
      {"${ORVIX_TEST_HOME} ${ORVIX_TEST_HOME}/x a${ORVIX_TEST_NOPE}b\n",
       "'/Users/x' '/Users/x/x' 'a${ORVIX_TEST_NOPE}b' NL"},
      {"   \t\r\n", "NL"},
      {"LIST_INDEX SEARCHES search help HELPER\n",
       "LIST_INDEX_INFO 'SEARCHES' SEARCH HELP 'HELPER' NL"},
      {"-dim --dim --target_values\n", "DIM DIM TARGET_VALUES NL"},
      {"INSERT_VECTOR_BATCH insert_vector --vector_attributes\n",
       "INSERT_VECTOR_BATCH INSERT_VECTOR VECTOR_ATTRIBUTES NL"},
      {"\"a\\\"b, [c]\" \"unterminated x\n", "'a\\\"b, [c]' token256 (unterminated)"},
      {"+1 'q' ;\n", "'1' 'q' NL (dropped +@1) (dropped '@4) (dropped '@6) (dropped ;@8)"},
      {std::string("a\0b\n", 4), std::string("'a' 'b' NL (dropped \0@2)", 24)},
      {"\"upload\" upload\n", "'upload' UPLOAD NL"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(scan(line), expected) << line;
}

TEST(Lexer, VariableExpansion) {
  setenv("ORVIX_TEST_A", "one two", 1);
  setenv("ORVIX_TEST_2", "two", 1);
  setenv("ORVIX_TEST_EMPTY", "", 1);
  setenv("ORVIX_TEST_REF", "$ORVIX_TEST_A", 1);
  unsetenv("ORVIX_TEST_UNSET");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain text", "plain text"},
      {"$ORVIX_TEST_A", "one two"},
      {"$ORVIX_TEST_2/x ${ORVIX_TEST_2}", "two/x two"},
      {"${ORVIX_TEST_A}", "one two"},
      {"${ORVIX_TEST_A", "one two"},
      {"$ORVIX_TEST_A}", "one two"},
      {"x$ORVIX_TEST_EMPTY-y", "x-y"},
      {"$ORVIX_TEST_UNSET and ${ORVIX_TEST_UNSET}", "$ORVIX_TEST_UNSET and ${ORVIX_TEST_UNSET}"},
      {"$ORVIX_TEST_REF", "$ORVIX_TEST_A"},  // a value is not expanded again
      {"$ $1 ${ ${1} $", "$ $1 ${ ${1} $"},
      {"$$ORVIX_TEST_A$", "$one two$"},
      {"${{ORVIX_TEST_A}", "${{ORVIX_TEST_A}"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(expand_env_vars(text), expected) << text;
}

TEST(Lexer, LongValuesScanInOneToken) {
  const std::string name(3'000'000, 'a');
  const std::string quoted = "\"$" + name + "\"\n";
  EXPECT_EQ(scan(quoted), "'$" + name + "' NL");
}

}  // namespace
