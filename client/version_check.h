#pragma once

#include "client/session.h"

namespace rest_client {

// Asks the service whether this client version may still be used.
bool handle_check_cli_version(Session& session);

}  // namespace rest_client
