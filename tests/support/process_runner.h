#pragma once
// Runs a program as a child process and collects its outputs and exit status.

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // 128 + signal number when killed by a signal
  bool timed_out = false;
};

struct ProcessOptions {
  std::vector<std::string> arguments;      // after the program name
  std::map<std::string, std::string> env;  // the whole environment, besides PATH and HOME
  std::string input;                       // written to standard input, which is then closed
  int timeout_ms = 20000;
};

// Standard input, output and error are pipes.
ProcessResult run_process(const std::string& program, const ProcessOptions& options);

// Runs the program on a pseudo-terminal; each step waits until `expect` has appeared in the
// screen text and then types `send`. Returns everything the terminal showed.
struct TerminalStep {
  std::string expect;
  std::string send;
};
ProcessResult run_on_terminal(const std::string& program, const ProcessOptions& options,
                              const std::vector<TerminalStep>& steps);

}  // namespace testing_support
