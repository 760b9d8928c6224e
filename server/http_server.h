#pragma once
// A small HTTP/1.1 server. One thread watches every connection (epoll) and reads each request
// whole, within limits and deadlines; only a complete request goes to a worker, so a client that
// sends slowly, or never finishes, holds no worker. A body is counted against the memory budget
// before it is read. Answers are written back by the watching thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/memory_budget.h"

namespace orvix_local {

struct HttpRequest {
  std::string method;
  std::string path;                                          // the target without its query
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  MemoryBudget::Reservation reservation;  // the body's bytes, held while the request lives

  // The first header of that (lower-case) name, or nullptr.
  const std::string* header(std::string_view name) const;
};

struct HttpAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
};

struct HttpLimits {
  std::size_t workers = 64;
  std::size_t max_connections = 1024;
  std::size_t max_header_bytes = 64 << 10;
  // A request's head must be whole this long after its first byte; a kept-alive connection
  // waits `idle_time` for the next request.
  std::chrono::milliseconds head_time{10000};
  std::chrono::milliseconds idle_time{5000};
  // After `head_time`, a body and an answer must move at least this many bytes a second.
  std::size_t min_rate = 64 << 10;
  // How long a request waits for room in the memory budget before it is answered 503.
  std::chrono::milliseconds budget_wait{10000};
};

// The largest body a request to a path may have, and the option that sets it (named when a
// body is refused).
struct BodyRule {
  std::size_t max_bytes = 0;
  std::string option;
};

class HttpServer {
 public:
  using BodyLimit = std::function<BodyRule(const std::string& path)>;
  using Handler = std::function<HttpAnswer(HttpRequest&)>;

  HttpServer(HttpLimits limits, MemoryBudget& budget, BodyLimit body_limit, Handler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // False when the address cannot be listened on. Port 0 takes one the system picks.
  bool bind(const std::string& host, int port);
  // The port listened on.
  int port() const;
  // Serves until stop(), then closes every connection and waits for the workers.
  void run();
  // From any thread.
  void stop();

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
};

// Text fit for one log line: control bytes, backslashes and bytes above 0x7E as \xHH.
std::string loggable(std::string_view text);

// {"detail": text} in JSON.
std::string detail_json(const std::string& text);

}  // namespace orvix_local
