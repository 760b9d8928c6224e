#pragma once
// Logging in with an API key against the account service.

#include <string>

#include "client/session.h"

namespace rest_client {

// On success the session holds the key and the user's identity.
bool handle_login_with_api_key(Session& session, const std::string& key);
enum class LoginOutcome {
  kLoggedIn,
  kCancelled,  // a person ended the key prompt at a terminal
  kRefused,    // the key was refused, or none could be had, where nobody can type another
};

// Logs in with the offered key (ORVIX_API_KEY or a stored one) or a key asked for at the
// prompt. A person at a terminal of the interactive shell is asked again after a refused key;
// one-shot statements and scripts are not: a refused key ends them, and a script's lines are
// never taken for further keys.
LoginOutcome prompt_and_authenticate(Session& session, bool one_shot);

}  // namespace rest_client
