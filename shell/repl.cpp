#include "shell/repl.h"

#include <iostream>

#include "client/client_state.h"
#include "client/line_input.h"
#include "language/statement.h"

namespace {

bool is_exit_word(const std::string& line) {
  return line == "exit" || line == "quit" || line == "e" || line == "q";
}

void print_welcome() {
  std::cout << "Welcome to use Orvix database Command Line Interface (CLI)!" << std::endl;
  std::cout << "You can manage your projects and data collections, construct indices, and search "
               "for queries."
            << std::endl;
  std::cout << "Please see " << rest_client::docs_url << " for documentation." << std::endl;
  std::cout << std::endl;
  std::cout << std::endl;
  std::cout << "Use 'HELP' to see the list of commands" << std::endl;
  std::cout << "For each command, you can type 'COMMAND -h' to see help." << std::endl;
  std::cout << "Type 'exit' to exit." << std::endl;
}

}  // namespace

int run_interactive() {
  print_welcome();
  for (;;) {
    const auto line = rest_client::read_prompted_line("> ", false);
    if (!line) return 0;
    if (is_exit_word(*line)) {
      std::cout << "Bye!" << std::endl;
      return 0;
    }
    if (!line->empty()) rest_client::add_history_line(*line);
    run_statement_line(*line);
  }
}

int run_one_shot(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& argument : arguments) {
    text += argument;
    text += ' ';
  }
  return run_statement_line(text) ? 0 : 1;
}
