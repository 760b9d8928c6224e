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
#include "shell/completion_script.h"
#include "shell/repl.h"
#include "shell/settings_files.h"
#include "shell/show_config.h"
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

// orvix [--profile NAME] --save-key [STATEMENT]: logs in as a run does, stores the key that
// was accepted in the profile's section of the credentials file, then runs the statement, if
// any.
int save_key_at_login(rest_client::Session& session, const StartOptions& options) {
  if (options.credentials_path.empty()) {
    rest_client::print_error("There is nowhere to store the key: HOME is not set");
    return 1;
  }
  const bool one_shot = !options.words.empty();
  const rest_client::ErrorLineRecord errors;
  try {
    // The prompt may ask a person again; a refused key is never stored.
    if (const auto status = run_startup_checks(session, false)) {
      if (*status != 0) write_startup_failure(session, errors.first());
      return *status;
    }
    const std::string where = save_key(
        options.credentials_path, options.profile.empty() ? "default" : section_of(options.profile),
        session.identity.api_key);
    rest_client::print_success("The key is stored in " + where);
  } catch (const rest_client::Interrupted&) {
    return kInterruptedStatus;
  } catch (const rest_client::LineTooLong& e) {
    rest_client::print_error(e.what());
    write_startup_failure(session, errors.first());
    return 1;
  } catch (const SettingsError& e) {
    rest_client::print_error(std::string("The key was not stored: ") + e.what());
    write_startup_failure(session, errors.first());
    return 1;
  }
  return one_shot ? run_one_shot(session, options.words) : 0;
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
  if (options.completion) {
    std::cout << completion_script(*options.completion) << std::flush;
    return 0;
  }
  session.network.tls = options.tls;
  session.offered_key = options.offered_key;
  if (options.show_config) {  // on standard output in either output mode
    apply_environment(session);
    print_config(options, session);
    return 0;
  }
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
  for (const auto& warning : options.warnings) rest_client::print_warning(" " + warning);
  if (options.save_key) return save_key_at_login(session, options);
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
