// orvix: the command-line client of the Orvix vector database.
#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/line_input.h"
#include "client/secrets.h"
#include "shell/repl.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "--version")) {
    return print_flag_answer(argv[1]);
  }
  rest_client::hide_secrets_in_output();
  const bool one_shot = argc > 1;
  // At a terminal's prompt Ctrl-C stops the statement and the shell goes on; elsewhere it ends
  // the process, and a second Ctrl-C does so at once.
  rest_client::install_interrupt_handler(one_shot || !rest_client::stdin_is_terminal());
  try {
    if (!run_startup_checks()) return 1;
  } catch (const rest_client::Interrupted&) {
    return kInterruptedStatus;
  }
  if (!one_shot) return run_interactive();
  return run_one_shot(std::vector<std::string>(argv + 1, argv + argc));
}
