#include "client/client_state.h"

namespace rest_client {

const std::string client_version = "1.0.0";
std::string api_key;
std::string user_id;
std::string username;

}  // namespace rest_client
