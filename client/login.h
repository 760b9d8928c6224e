#pragma once
// Logging in with an API key against the account service.

#include <string>

namespace rest_client {

bool handle_login_with_api_key(const std::string& key);
// Returns only after a successful login; ends the process when the user cancels the prompt.
void prompt_and_authenticate();

}  // namespace rest_client
