#include "client/line_input.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>

namespace rest_client {

bool stdin_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> read_prompted_line(const std::string& prompt, bool prompt_when_piped) {
  if (stdin_is_terminal()) {
    std::unique_ptr<char, decltype(&std::free)> line(readline(prompt.c_str()), &std::free);
    if (!line) return std::nullopt;
    return std::string(line.get());
  }
  if (prompt_when_piped) std::cout << prompt << std::flush;
  return read_answer_line();
}

void add_history_line(const std::string& line) {
  if (stdin_is_terminal()) add_history(line.c_str());
}

std::optional<std::string> read_answer_line() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

}  // namespace rest_client
