#include "language/statement.h"

#include <cstdio>

#include "language/diagnostics.h"
#include "language/parse_context.h"
#include "language/scan_notes.h"
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

ParsedLine parse_statement_line(const std::string& line) {
  const std::string text = line + "\n";
  ScanNotes notes;
  Scanner scanner(&notes);
  yy_scan_bytes(text.data(), static_cast<int>(text.size()), scanner.get());
  ParseContext ctx;
  language::Parser parser(scanner.get(), ctx);
  const int parsed = parser.parse();
  if (!notes.dropped.empty() && !notes.unterminated_quote) warn_dropped(notes);
  if (parsed != 0 || notes.unterminated_quote) return {false, std::nullopt};
  if (notes.invalid_text) {
    yyerror("Invalid UTF-8 in argument");
    return {false, std::nullopt};
  }
  return {!ctx.error_reported, std::move(ctx.statement)};
}
