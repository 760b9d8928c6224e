#pragma once
// Process-wide client state: where the service lives and who is logged in.

#include <string>

namespace rest_client {

// Fixed when the client is built (see build_config.cpp).
extern std::string server_base_url;
extern std::string account_base_url;
extern std::string docs_url;
extern std::string key_page_url;

extern const std::string client_version;

// Filled by a successful login.
extern std::string api_key;
extern std::string user_id;
extern std::string username;

}  // namespace rest_client
