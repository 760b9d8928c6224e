#pragma once
// Parses one line through the command language and shows the statement it built.

#include <string>
#include <vector>

#include "language/statement.h"
#include "tests/support/capture.h"
#include "tests/support/statement_text.h"

struct LineOutcome {
  std::string out;
  std::string err;
  std::vector<std::string> calls;  // the parsed statement, when there is one
  bool ok = false;
};

inline LineOutcome run_line(const std::string& line) {
  LineOutcome outcome;
  testing_support::CapturedOutput capture;
  const ParsedLine parsed = parse_statement_line(line);
  outcome.out = capture.out();
  outcome.err = capture.err();
  if (parsed.statement) outcome.calls.push_back(testing_support::statement_text(*parsed.statement));
  outcome.ok = parsed.ok;
  return outcome;
}

inline const std::string kSyntaxError =
    "\033[31m[ERROR] syntax error\033[0m\n"
    "Use COMMAND_NAME -h to find the format of a command or HELP to get the list of all valid "
    "commands\n";

inline std::string language_error(const std::string& text) {
  return "\033[31m[ERROR] " + text +
         "\033[0m\nUse COMMAND_NAME -h to find the format of a command or HELP to get the list of "
         "all valid commands\n";
}
