#pragma once

#include "client/session.h"
#include "shell/start_options.h"

// orvix --show-config: every setting in effect and where it came from, and whether a key was
// found and where (never the key). Needs no login and sends nothing.
void print_config(const StartOptions& options, const rest_client::Session& session);
