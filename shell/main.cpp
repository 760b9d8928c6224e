// orvix: the command-line client of the Orvix vector database.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/line_input.h"
#include "client/secrets.h"
#include "client/session.h"
#include "shell/repl.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  // The process will hold an API key: no core dump may carry it away.
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  rest_client::Session session;
  session.endpoints = rest_client::built_in_endpoints();
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "--version")) {
    return print_flag_answer(argv[1], session.endpoints);
  }
  rest_client::hide_secrets_in_output();
  const bool one_shot = argc > 1;
  // At a terminal's prompt Ctrl-C stops the statement and the shell goes on; elsewhere it ends
  // the process, and a second Ctrl-C does so at once.
  rest_client::install_interrupt_handler(one_shot || !rest_client::stdin_is_terminal());
  try {
    if (const auto status = run_startup_checks(session, one_shot)) return *status;
  } catch (const rest_client::Interrupted&) {
    return kInterruptedStatus;
  }
  if (!one_shot) return run_interactive(session);
  return run_one_shot(session, std::vector<std::string>(argv + 1, argv + argc));
}
