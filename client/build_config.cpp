// The service addresses of one executable, set by the build (CMake cache variables).
#include "client/session.h"

namespace rest_client {

Endpoints built_in_endpoints() {
  return {ORVIX_API_URL, ORVIX_ACCOUNT_URL, ORVIX_DOCS_URL, ORVIX_KEY_PAGE_URL};
}

}  // namespace rest_client
