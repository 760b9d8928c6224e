#include "language/statement.h"

#include <cstdio>

#include "language/diagnostics.h"
#include "language/parse_context.h"
#include "language/scan_notes.h"
#include "language/vocabulary.h"
#include "parser.tab.h"
// The scanner header needs the parser's value type first.
#include "lexer.yy.h"

namespace {

// Owns one scanner for one line; its buffers go with it.
class Scanner {
 public:
  explicit Scanner(ScanNotes* notes) { yylex_init_extra(notes, &scanner_); }
  ~Scanner() { yylex_destroy(scanner_); }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  yyscan_t get() const { return scanner_; }

 private:
  yyscan_t scanner_ = nullptr;
};

// One warning naming the bytes that were dropped and where.
void warn_dropped(const ScanNotes& notes) {
  constexpr std::size_t kNamed = 10;
  std::string named;
  for (std::size_t i = 0; i < notes.dropped.size() && i < kNamed; ++i) {
    const auto [byte, column] = notes.dropped[i];
    char shown[8];
    if (byte >= 0x20 && byte < 0x7f) {
      std::snprintf(shown, sizeof shown, "%c", byte);
    } else {
      std::snprintf(shown, sizeof shown, "\\x%02x", byte);
    }
    named +=
        (i == 0 ? "'" : ", '") + std::string(shown) + "' (column " + std::to_string(column) + ")";
  }
  if (notes.dropped.size() > kNamed) {
    named += " and " + std::to_string(notes.dropped.size() - kNamed) + " more";
  }
  yywarning(("Ignored, as no part of a statement: " + named).c_str());
}

}  // namespace

std::optional<std::string> statement_keyword(const std::string& line) {
  const auto start = line.find_first_not_of(" \t\r");
  if (start == std::string::npos) return std::nullopt;
  const auto end = line.find_first_of(" \t\r", start);
  const std::string word = line.substr(start, end == std::string::npos ? end : end - start);
  const StatementDef* statement = nullptr;
  const int token = reserved_word_token(word, &statement);
  if (statement != nullptr) return std::string(statement->keyword);
  if (token == language::Parser::token::HELP) return std::string("HELP");
  return std::nullopt;
}

ParsedLine parse_statement_line(std::string line) {
  // The scanner reads the line where it is: its break, then the two end marks flex wants.
  line += '\n';
  line += '\0';
  line += '\0';
  ScanNotes notes;
  Scanner scanner(&notes);
  yy_scan_buffer(line.data(), line.size(), scanner.get());
  ParseContext ctx;
  ctx.line = line;
  language::Parser parser(scanner.get(), ctx);
  const int parsed = parser.parse();
  if (!notes.dropped.empty() && !notes.unterminated_quote) warn_dropped(notes);
  if (parsed != 0 || notes.unterminated_quote) return {false, std::nullopt, false, ""};
  if (notes.invalid_text) {
    yyerror("Invalid UTF-8 in argument");
    return {false, std::nullopt, false, ""};
  }
  return {!ctx.error_reported, std::move(ctx.statement), ctx.listed_statements,
          ctx.helped != nullptr ? ctx.helped->keyword : ""};
}
