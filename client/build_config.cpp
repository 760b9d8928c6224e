// The service addresses of one executable, set by the build (CMake cache variables).
#include "client/client_state.h"

namespace rest_client {

std::string server_base_url = ORVIX_API_URL;
std::string account_base_url = ORVIX_ACCOUNT_URL;
std::string docs_url = ORVIX_DOCS_URL;
std::string key_page_url = ORVIX_KEY_PAGE_URL;

}  // namespace rest_client
