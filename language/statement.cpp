#include "language/statement.h"

#include "language/diagnostics.h"
#include "language/parse_context.h"
#include "parser.tab.h"
// The scanner header needs the parser's value type first.
#include "lexer.yy.h"

namespace {

// Owns one scanner for one line; its buffers go with it.
class Scanner {
 public:
  // `invalid_text` is set when a word or string is not UTF-8.
  explicit Scanner(bool* invalid_text) { yylex_init_extra(invalid_text, &scanner_); }
  ~Scanner() { yylex_destroy(scanner_); }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  yyscan_t get() const { return scanner_; }

 private:
  yyscan_t scanner_ = nullptr;
};

}  // namespace

ParsedLine parse_statement_line(const std::string& line) {
  const std::string text = line + "\n";
  bool invalid_text = false;
  Scanner scanner(&invalid_text);
  yy_scan_bytes(text.data(), static_cast<int>(text.size()), scanner.get());
  ParseContext ctx;
  language::Parser parser(scanner.get(), ctx);
  if (parser.parse() != 0) return {false, std::nullopt};
  if (invalid_text) {
    yyerror("Invalid UTF-8 in argument");
    return {false, std::nullopt};
  }
  return {!ctx.error_reported, std::move(ctx.statement)};
}
