// Fuzz target: one statement line through the scanner, the grammar, the option maps and the
// statement actions, into a statement value. Whatever follows the first newline is standard
// input (kept so that the stored corpus keeps its meaning).
#include <cstddef>
#include <cstdint>
#include <string>

#include "language/statement.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/support/capture.h"

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
  const testing_support::CapturedOutput output(answers);
  parse_statement_line(line);
  return 0;
}
