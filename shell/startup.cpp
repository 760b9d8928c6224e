#include "shell/startup.h"

#include "client/login.h"
#include "client/version_check.h"

void apply_environment(rest_client::Session& session) {
  session.upload.shard_size = rest_client::shard_size_from_environment();
  session.upload.journal_dir = rest_client::journal_dir_from_environment();
  session.network.limits.max_answer_bytes = rest_client::max_answer_bytes_from_environment();
}

std::optional<int> run_startup_checks(rest_client::Session& session, bool one_shot) {
  switch (rest_client::prompt_and_authenticate(session, one_shot)) {
    case rest_client::LoginOutcome::kLoggedIn:
      break;
    case rest_client::LoginOutcome::kCancelled:
      return 0;
    case rest_client::LoginOutcome::kRefused:
      return 1;
  }
  if (!rest_client::handle_check_cli_version(session)) return 1;
  return std::nullopt;
}
