#pragma once
// Orvix Local on HTTP: the routes (key validation, the API under /api) and each path's body limit.

#include <memory>

#include "server/http_server.h"
#include "server/local_service.h"

namespace orvix_local {

// A server answering for `service`, which must outlive it.
std::unique_ptr<HttpServer> http_front(LocalService& service, HttpLimits limits = {});

}  // namespace orvix_local
