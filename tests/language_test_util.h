#pragma once
// Runs one line through the command language with the handlers recorded.

#include <string>
#include <vector>

#include "language/statement.h"
#include "tests/support/capture.h"
#include "tests/support/recording_handlers.h"

struct LineOutcome {
  std::string out;
  std::string err;
  std::vector<std::string> calls;
  bool ok = false;
};

inline LineOutcome run_line(const std::string& line, const std::string& input = "") {
  testing_support::recorded_calls().clear();
  LineOutcome outcome;
  {
    testing_support::CapturedOutput capture(input);
    outcome.ok = run_statement_line(line);
    outcome.out = capture.out();
    outcome.err = capture.err();
  }
  outcome.calls = testing_support::recorded_calls();
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
