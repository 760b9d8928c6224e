#include "shell/repl.h"

#include <iostream>

#include "client/console.h"
#include "client/interrupt.h"
#include "client/line_input.h"
#include "client/statement_output.h"
#include "shell/completion.h"
#include "shell/dispatcher.h"

namespace {

bool is_exit_word(const std::string& line) {
  return line == "exit" || line == "quit" || line == "e" || line == "q";
}

void print_welcome(const rest_client::Endpoints& endpoints, bool address_chosen) {
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
  if (address_chosen) std::cout << "Service: " << endpoints.api << std::endl;
}

// With --output json: the statement's one record, on one line of its own; a blank line makes
// no statement and no record.
void write_record(rest_client::Session& session, const std::optional<std::string>& keyword,
                  bool blank, bool ok, const std::optional<std::string>& error) {
  if (session.output.records == nullptr || blank) return;
  *session.output.records << rest_client::statement_output::record(keyword, ok, session, error)
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                          << '\n'
                          << std::flush;
}

}  // namespace

void write_startup_failure(rest_client::Session& session, const std::optional<std::string>& error) {
  write_record(session, std::nullopt, false, false, error.value_or("the start-up checks failed"));
}

int run_interactive(rest_client::Session& session, bool address_chosen) {
  print_welcome(session.endpoints, address_chosen);
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
    } catch (const rest_client::LineTooLong& e) {
      const rest_client::ErrorLineRecord errors;
      session.output.members = nlohmann::json::object();  // nothing of the statement before
      session.output.last_status = 0;
      rest_client::print_error(e.what());
      write_record(session, std::nullopt, false, false, errors.first());
      failed = true;
      continue;
    }
    if (!line) return script && failed ? 1 : 0;
    if (is_exit_word(*line)) {
      std::cout << "Bye!" << std::endl;
      return script && failed ? 1 : 0;
    }
    if (!line->empty()) rest_client::add_history_line(*line);
    const auto outcome = run_statement(session, std::move(*line));
    if (outcome == kInterruptedStatus) {
      if (script) return kInterruptedStatus;
      rest_client::clear_interrupt();
    }
    if (outcome != 0) failed = true;
  }
}

int run_statement(rest_client::Session& session, std::string line) {
  const rest_client::ErrorLineRecord errors;
  session.output.members = nlohmann::json::object();
  session.output.last_status = 0;
  const auto keyword = statement_keyword(line);
  const bool blank = !keyword && line.find_first_not_of(" \t\r") == std::string::npos;
  try {
    const bool ok = rest_client::run_statement_line(session, std::move(line));
    write_record(session, keyword, blank, ok, errors.first());
    return ok ? 0 : 1;
  } catch (const rest_client::Interrupted& interrupted) {
    rest_client::print_warning(" Interrupted " + interrupted.what);
    write_record(session, keyword, blank, false,
                 errors.first().value_or("Interrupted " + interrupted.what));
    return kInterruptedStatus;
  } catch (const std::exception& e) {
    // What no statement catches itself (the scanner out of memory): the statement fails, the
    // shell goes on.
    rest_client::print_error(e.what());
    write_record(session, keyword, blank, false, errors.first());
    return 1;
  }
}

int print_flag_answer(const std::string& flag, const rest_client::Endpoints& endpoints) {
  if (flag == "--version") {
    std::cout << "orvix " << rest_client::client_version << std::endl;
    return 0;
  }
  std::cout
      << "Usage: orvix [FLAGS]              start the interactive shell (statements at the > "
         "prompt)\n"
         "       orvix [FLAGS] STATEMENT... run one statement and exit (0 on success, 1 on "
         "failure)\n"
         "       orvix [FLAGS] < SCRIPT     run a script of statements, one per line; questions\n"
         "                                  read their answers from the lines that follow; exit 1\n"
         "                                  if any statement failed\n"
         "       orvix --help | --version | --show-config | --completion bash|zsh\n"
         "\n"
         "Flags (before the statement; each beats its variable, which beats the profile, which\n"
         "beats the build's value):\n"
         "  --profile NAME      settings of [profile NAME] in the config file (ORVIX_PROFILE);\n"
         "                      without one, its [default] section when there is one\n"
         "  --api-url URL       the service's API, http(s)://host[:port][/path] (ORVIX_API_URL)\n"
         "  --account-url URL   the account service (ORVIX_ACCOUNT_URL); by default the API's\n"
         "                      own host when the API address is given\n"
         "  --output text|json  json: one JSON object a statement on standard output, every\n"
         "                      other line on standard error (ORVIX_OUTPUT)\n"
         "  --ca-file FILE      the certificate authorities to trust instead of the system's\n"
         "                      store (ORVIX_CA_FILE)\n"
         "  --client-cert FILE  a client certificate for services that ask for one, and\n"
         "  --client-key FILE   its key (ORVIX_CLIENT_CERT, ORVIX_CLIENT_KEY)\n"
         "  --save-key          log in, then store the key in the profile's credentials\n"
         "  --show-config       print each setting and where it came from; no login\n"
         "  --completion SHELL  print a completion script for bash or zsh\n"
         "A flag, variable or profile setting that cannot be used ends the run with status 2.\n"
         "Profiles: $XDG_CONFIG_HOME/orvix/config (else ~/.config/orvix/config); stored keys:\n"
         "credentials beside it, used only when no one else may read it.\n"
         "\n"
         "Type HELP in the shell for the statements, and STATEMENT -h for one statement's form.\n"
         "\n"
         "Environment:\n"
         "  ORVIX_API_KEY   API key used to log in (otherwise the stored key, else it is asked "
         "for)\n"
         "  https_proxy, http_proxy, no_proxy  the proxy to reach the service through\n"
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
  return run_statement(session, std::move(text));
}
