// Fuzz target: one statement line through the scanner, the grammar, the option maps and the
// statement actions, with the command handlers replaced by the recorder. Whatever follows the
// first newline is standard input, for the confirmation questions.
#include <cstddef>
#include <cstdint>
#include <string>

#include "language/statement.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/support/capture.h"
#include "tests/support/recording_handlers.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InputTimer::report_at_exit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::InputTimer timer;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  const std::string line = input.substr(0, newline);
  const std::string answers = newline == std::string::npos ? "" : input.substr(newline + 1);
  testing_support::recorded_calls().clear();
  testing_support::recorded_result() = (size % 2) == 0;
  const testing_support::CapturedOutput output(answers);
  run_statement_line(line);
  return 0;
}
