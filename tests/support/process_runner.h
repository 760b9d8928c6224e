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
  std::string waiting_for;  // on a terminal: the text still awaited when the session ended
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

// A program running in the background for the lifetime of this object (its output goes to a
// file); stopped with SIGTERM, then SIGKILL.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& log_path,
                    const std::map<std::string, std::string>& env = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Waits until something accepts connections on the loopback port.
  bool wait_for_port(int port, int timeout_ms = 10000) const;
  // Sends a signal and waits for the exit; returns the exit status as run_process does.
  int stop(int signal_number);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
};

}  // namespace testing_support
