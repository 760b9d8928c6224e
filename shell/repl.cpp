#include "shell/repl.h"

#include <iostream>

#include "client/console.h"
#include "client/interrupt.h"
#include "client/line_input.h"
#include "shell/completion.h"
#include "shell/dispatcher.h"

namespace {

bool is_exit_word(const std::string& line) {
  return line == "exit" || line == "quit" || line == "e" || line == "q";
}

void print_welcome(const rest_client::Endpoints& endpoints) {
  std::cout << "Welcome to use Orvix database Command Line Interface (CLI)!" << std::endl;
  std::cout << "You can manage your projects and data collections, construct indices, and search "
               "for queries."
            << std::endl;
  std::cout << "Please see " << endpoints.docs << " for documentation." << std::endl;
  std::cout << std::endl;
  std::cout << std::endl;
  std::cout << "Use 'HELP' to see the list of commands" << std::endl;
  std::cout << "For each command, you can type 'COMMAND -h' to see help." << std::endl;
  std::cout << "Type 'exit' to exit." << std::endl;
}

}  // namespace

int run_interactive(rest_client::Session& session) {
  print_welcome(session.endpoints);
  if (rest_client::stdin_is_terminal()) install_completion();
  // A script (statements that do not come from a terminal) tells its caller whether every
  // statement succeeded.
  const bool script = !rest_client::stdin_is_terminal();
  bool failed = false;
  for (;;) {
    std::optional<std::string> line;
    try {
      line = rest_client::read_prompted_line("> ", false);
    } catch (const rest_client::Interrupted&) {
      // Ctrl-C at the prompt abandons the line; a script ends.
      if (script) return kInterruptedStatus;
      rest_client::clear_interrupt();
      continue;
    }
    if (!line) return script && failed ? 1 : 0;
    if (is_exit_word(*line)) {
      std::cout << "Bye!" << std::endl;
      return script && failed ? 1 : 0;
    }
    if (!line->empty()) rest_client::add_history_line(*line);
    const auto outcome = run_statement(session, *line);
    if (outcome == kInterruptedStatus) {
      if (script) return kInterruptedStatus;
      rest_client::clear_interrupt();
    }
    if (outcome != 0) failed = true;
  }
}

int run_statement(rest_client::Session& session, const std::string& line) {
  try {
    return rest_client::run_statement_line(session, line) ? 0 : 1;
  } catch (const rest_client::Interrupted& interrupted) {
    rest_client::print_warning(" Interrupted " + interrupted.what);
    return kInterruptedStatus;
  } catch (const std::exception& e) {
    // What no statement catches itself (the scanner out of memory): the statement fails, the
    // shell goes on.
    rest_client::print_error(e.what());
    return 1;
  }
}

int print_flag_answer(const std::string& flag, const rest_client::Endpoints& endpoints) {
  if (flag == "--version") {
    std::cout << "orvix " << rest_client::client_version << std::endl;
    return 0;
  }
  std::cout
      << "Usage: orvix                 start the interactive shell (statements at the > prompt)\n"
         "       orvix STATEMENT...    run one statement and exit (0 on success, 1 on failure)\n"
         "       orvix < SCRIPT        run a script of statements, one per line; questions read\n"
         "                             their answers from the lines that follow; exit 1 if any\n"
         "                             statement failed\n"
         "       orvix --help | --version\n"
         "\n"
         "Type HELP in the shell for the statements, and STATEMENT -h for one statement's form.\n"
         "\n"
         "Environment:\n"
         "  ORVIX_API_KEY   API key used to log in (otherwise the key is asked for)\n"
         "  SHARD_SIZE      upload shard size in bytes (default 209715200)\n"
         "  ORVIX_MAX_ANSWER_MB  the largest answer read from the service (default 64)\n"
         "  NO_COLOR        when set and not empty, no colour sequences are written\n"
         "  $NAME, ${NAME}  inside a statement, replaced by the variable's value\n"
         "\n"
         "Service: "
      << endpoints.api
      << "\n"
         "Local emulator: orvix-local (scripts/run.sh starts it and opens this shell on it)\n"
      << std::flush;
  return 0;
}

int run_one_shot(rest_client::Session& session, const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& argument : arguments) {
    text += argument;
    text += ' ';
  }
  return run_statement(session, text);
}
