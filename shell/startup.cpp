#include "shell/startup.h"

#include "client/login.h"
#include "client/version_check.h"
#include "upload/shard_transfer.h"

bool run_startup_checks() {
  rest_client::init_shard_size_from_env();
  rest_client::prompt_and_authenticate();
  return rest_client::handle_check_cli_version();
}
