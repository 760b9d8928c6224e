// orvix: the command-line client of the Orvix vector database.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "client/console.h"
#include "client/interrupt.h"
#include "client/line_input.h"
#include "client/secrets.h"
#include "client/session.h"
#include "language/statement.h"
#include "shell/repl.h"
#include "shell/start_options.h"
#include "shell/startup.h"

namespace {

// A one-shot UPLOAD with --dry-run reads only its file: no login and no version check.
bool offline_dry_run(const std::vector<std::string>& words) {
  if (words.empty() || statement_keyword(words.front()).value_or("") != "UPLOAD") return false;
  for (const auto& word : words) {
    std::string lower = word;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "--dry-run" || lower == "-dry-run") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The process will hold an API key: no core dump may carry it away.
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  const StartChoice choice = choose_start_options(
      std::vector<std::string>(argv + 1, argv + argc), rest_client::built_in_endpoints(),
      [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
      });
  if (!choice.options) {
    std::cerr << "orvix: " << choice.refusal << std::endl;
    return 2;
  }
  const StartOptions& options = *choice.options;
  rest_client::Session session;
  session.endpoints = options.endpoints;
  if (options.flag_answer) return print_flag_answer(*options.flag_answer, session.endpoints);
  // Answers as JSON: standard output carries the records alone, every other line goes to
  // standard error.
  std::ostream records(std::cout.rdbuf());
  if (options.json_output) {
    std::cout.rdbuf(std::cerr.rdbuf());
    session.output.records = &records;
  }
  rest_client::hide_secrets_in_output(options.json_output ? &records : nullptr);
  const bool one_shot = !options.words.empty();
  // At a terminal's prompt Ctrl-C stops the statement and the shell goes on; elsewhere it ends
  // the process, and a second Ctrl-C does so at once.
  rest_client::install_interrupt_handler(one_shot || !rest_client::stdin_is_terminal());
  // Settings from the environment hold for every statement, a dry run's too.
  apply_environment(session);
  if (!offline_dry_run(options.words)) {
    const rest_client::ErrorLineRecord errors;
    try {
      if (const auto status = run_startup_checks(session, one_shot)) {
        if (*status != 0) write_startup_failure(session, errors.first());
        return *status;
      }
    } catch (const rest_client::Interrupted&) {
      return kInterruptedStatus;
    } catch (const rest_client::LineTooLong& e) {
      rest_client::print_error(e.what());  // in place of a key
      write_startup_failure(session, errors.first());
      return 1;
    }
  }
  if (!one_shot) return run_interactive(session, options.address_chosen);
  return run_one_shot(session, options.words);
}
