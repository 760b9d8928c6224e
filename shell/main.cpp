// orvix: the command-line client of the Orvix vector database.
#include <string>
#include <vector>

#include "shell/repl.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "--version")) {
    return print_flag_answer(argv[1]);
  }
  if (!run_startup_checks()) return 1;
  if (argc <= 1) return run_interactive();
  return run_one_shot(std::vector<std::string>(argv + 1, argv + argc));
}
