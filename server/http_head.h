#pragma once
// An HTTP/1.1 request's head read into its parts, the status lines' words, and the texts the
// front writes of its own (log lines, refusals).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "server/http_server.h"
#include "server/limits.h"

namespace orvix_local {

// What a request's head says, or why it cannot be served.
struct Head {
  HttpRequest request;
  bool keep_alive = true;
  bool chunked = false;
  bool expects_continue = false;
  std::optional<std::size_t> length;
  int refusal = 0;  // an HTTP status when the head is refused
  std::string why;
};

// Parses the text before the blank line: the request line and the headers. At most
// kMaxHeaders headers; Content-Length a plain number given once; Transfer-Encoding chunked only.
Head parse_head(std::string_view text);

// The reason phrase of a status.
const char* reason(int status);
// The path with its %XX escapes decoded (bytes that decode to anything are the log's to escape).
std::string decoded_path(std::string_view target);
// The text without blanks (and a carriage return) around it.
std::string_view trimmed(std::string_view text);

}  // namespace orvix_local
