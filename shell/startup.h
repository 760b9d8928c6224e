#pragma once

#include <optional>

#include "client/session.h"

// Logs in and checks the client version. nullopt when the shell may start; otherwise the
// status the process must exit with (0 when the user cancelled the key prompt, 1 on failure).
std::optional<int> run_startup_checks(rest_client::Session& session);
