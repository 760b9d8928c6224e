// orvix: the command-line client of the Orvix vector database.
#include <string>
#include <vector>

#include "shell/repl.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  if (!run_startup_checks()) return 1;
  if (argc <= 1) return run_interactive();
  return run_one_shot(std::vector<std::string>(argv + 1, argv + argc));
}
