#pragma once
// Orvix Local on HTTP: the routes, body limits checked before a body is read, short timeouts
// for connections that stop moving, enough workers that a few slow clients cannot hold up the
// rest, and one escaped log line per request.

#include <httplib.h>

#include <string>
#include <string_view>

#include "server/local_service.h"

namespace orvix_local {

struct HttpSettings {
  std::size_t workers = 64;
  int read_timeout_seconds = 10;  // a request whose bytes stop coming for this long is dropped
  int write_timeout_seconds = 30;
};

void mount(httplib::Server& server, LocalService& service, const HttpSettings& settings = {});

// Text fit for one log line: control bytes, backslashes and bytes above 0x7E as \xHH.
std::string loggable(std::string_view text);

}  // namespace orvix_local
