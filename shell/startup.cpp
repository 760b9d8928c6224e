#include "shell/startup.h"

#include "client/login.h"
#include "client/version_check.h"

std::optional<int> run_startup_checks(rest_client::Session& session) {
  session.upload.shard_size = rest_client::shard_size_from_environment();
  if (!rest_client::prompt_and_authenticate(session)) return 0;
  if (!rest_client::handle_check_cli_version(session)) return 1;
  return std::nullopt;
}
