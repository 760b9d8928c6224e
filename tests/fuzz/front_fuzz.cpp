// Fuzz target: the bytes a client sends Orvix Local's HTTP front, before any key is looked at:
// request heads, bodies whole or chunked, one request after another on a kept-alive connection.
// The first byte sets how many bytes arrive at a time (1 to 64); the rest is what arrives. A
// request the connection hands on must have a head that was not refused and a body within its
// limit, of its stated length when it had one, and no more bytes are ever stored for a body; a
// refusal is a client's fault (4xx), what the front does not serve (501, 505) or the service's lack
// of room (503, 507), never a crash, a leak or a 500.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/http_connection.h"
#include "tests/fuzz/fuzz_harness.h"

namespace {

constexpr std::size_t kBodyLimit = 1 << 16;
constexpr std::size_t kSmallLimit = 16;

std::size_t limit_of(const std::string& path) {
  return path == "/small" ? kSmallLimit : kBodyLimit;
}

// The body of a chunked request whose head ends where `text` begins, read the plain way (sizes
// of hex digits with an extension or none, lines ended by CRLF or LF), or nullopt when the text
// is not one such: what the connection must hand on for the request.
std::optional<std::string> plainly_dechunked(std::string_view text) {
  std::string body;
  for (;;) {
    const auto line_end = text.find('\n');
    if (line_end == std::string_view::npos) return std::nullopt;
    std::string_view size = text.substr(0, line_end);
    text.remove_prefix(line_end + 1);
    if (!size.empty() && size.back() == '\r') size.remove_suffix(1);
    size = size.substr(0, size.find(';'));
    if (size.empty() || size.size() > 8 ||
        size.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
      return std::nullopt;
    }
    const std::size_t length = std::stoul(std::string(size), nullptr, 16);
    if (length == 0) {  // the last chunk; then trailer lines up to an empty one
      for (;;) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        if (end == 0 || (end == 1 && text[0] == '\r')) return body;
        text.remove_prefix(end + 1);
      }
    }
    if (text.size() < length) return std::nullopt;
    body.append(text.substr(0, length));
    text.remove_prefix(length);
    const std::size_t end = text.rfind("\r\n", 0) == 0 ? 2 : text.rfind('\n', 0) == 0 ? 1 : 0;
    if (end == 0) return std::nullopt;
    text.remove_prefix(end);
  }
}

// Where the first request's head ends in what arrived, as the connection finds it.
std::size_t first_head_end(std::string_view text) {
  const std::size_t lead = std::min(text.find_first_not_of("\r\n"), text.size());
  const auto crlf = text.find("\r\n\r\n", lead);
  const auto lf = text.find("\n\n", lead);
  if (crlf == std::string_view::npos && lf == std::string_view::npos) return text.size();
  return lf < crlf ? lf + 2 : crlf + 4;
}

void fail(const char* what, const orvix_local::Connection& connection) {
  std::fprintf(stderr, "%s (path %s, body %zu bytes)\n", what, connection.head.request.path.c_str(),
               connection.head.request.body.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InputTimer::report_at_exit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzzing::InputTimer timer;
  using Kind = orvix_local::Connection::Step::Kind;
  orvix_local::MemoryBudget budget(1 << 20);
  const orvix_local::HttpLimits limits;  // no spool directory: bodies are kept in memory
  const orvix_local::HttpServer::BodyLimit body_limit = [](const std::string& path) {
    return orvix_local::BodyRule{limit_of(path), "--max-body-kb"};
  };
  orvix_local::Connection connection;
  connection.address = "fuzz";
  const std::size_t piece = data[0] % 64 + 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto first_body = plainly_dechunked(rest.substr(first_head_end(rest)));
  bool first = true;
  while (!rest.empty()) {
    connection.in.append(rest.substr(0, piece));
    rest.remove_prefix(std::min(piece, rest.size()));
    for (;;) {
      const auto step = connection.advance(limits, budget, body_limit);
      const auto& head = connection.head;
      if (connection.in_body() &&
          connection.body_bytes > head.length.value_or(limit_of(head.request.path))) {
        fail("more body bytes stored than the body may have", connection);
      }
      if (step.kind == Kind::kMore) break;
      if (step.kind == Kind::kBudget) return 0;
      if (step.kind == Kind::kRefuse) {
        const bool clients = step.status >= 400 && step.status < 500;
        const bool allowed =
            step.status == 501 || step.status == 503 || step.status == 505 || step.status == 507;
        if (!clients && !allowed) fail("refused with another 5xx", connection);
        return 0;
      }
      if (head.refusal != 0) fail("a refused head was handed on", connection);
      if (head.request.body.size() > limit_of(head.request.path)) {
        fail("a body over its limit was handed on", connection);
      }
      if (!head.chunked && head.request.body.size() != head.length.value_or(0)) {
        fail("a body not of its stated length was handed on", connection);
      }
      if (first && head.chunked && first_body && head.request.body != *first_body) {
        fail("a chunked body was not handed on as its chunks hold it", connection);
      }
      first = false;
      if (!head.keep_alive) return 0;
      // Ready for the next request, as the front makes a connection after an answer.
      connection.head = orvix_local::Head();
      connection.phase = orvix_local::Connection::Phase::kHead;
      connection.waited_for_byte = true;
    }
  }
  if (first && connection.head.chunked && first_body) {
    fail("a whole chunked request was not handed on", connection);
  }
  if (first && connection.head.chunked && first_body) {
    fail("a whole chunked request was not handed on", connection);
  }
  return 0;
}
