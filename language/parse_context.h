#pragma once
// What one parse of one line builds: the statement, and whether a diagnostic was reported.

#include <optional>
#include <string_view>

#include "language/statement.h"

struct StatementDef;

struct ParseContext {
  std::optional<Statement> statement;
  bool error_reported = false;           // a syntax error or an action's own error was printed
  bool listed_statements = false;        // HELP printed the list of statements
  const StatementDef* helped = nullptr;  // STATEMENT -h printed that statement's help
  std::string_view line;                 // the text scanned
};
