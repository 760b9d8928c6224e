#pragma once

#include <optional>

#include "client/session.h"

// What the environment sets: the shard size, where upload journals are kept, the answer bound.
void apply_environment(rest_client::Session& session);

// Logs in and checks the client version. nullopt when the shell may start; otherwise the
// status the process must exit with (0 when a person cancelled the key prompt, 1 when the key
// was refused or the version check failed).
std::optional<int> run_startup_checks(rest_client::Session& session, bool one_shot);
