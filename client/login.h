#pragma once
// Logging in with an API key against the account service.

#include <string>

#include "client/session.h"

namespace rest_client {

// On success the session holds the key and the user's identity.
bool handle_login_with_api_key(Session& session, const std::string& key);
// Logs in with $ORVIX_API_KEY or keys asked for at a prompt, until one works (true); false when
// the user cancels the prompt (end of input), after saying so.
bool prompt_and_authenticate(Session& session);

}  // namespace rest_client
