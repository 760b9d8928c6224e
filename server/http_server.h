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

#include "server/body_follower.h"
#include "server/memory_budget.h"

namespace orvix_local {

// A request body kept in a file of the server's spool directory (large uploads), removed with
// the request unless the handler takes the file; with what followed it as it arrived, if its
// rule asked for that.
class SpooledBody {
 public:
  SpooledBody() = default;
  explicit SpooledBody(std::string path) : path_(std::move(path)) {}
  ~SpooledBody();
  SpooledBody(SpooledBody&& other) noexcept
      : path_(std::exchange(other.path_, std::string())), followed_(std::move(other.followed_)) {}
  SpooledBody& operator=(SpooledBody&& other) noexcept;
  SpooledBody(const SpooledBody&) = delete;
  SpooledBody& operator=(const SpooledBody&) = delete;

  const std::string& path() const { return path_; }
  explicit operator bool() const { return !path_.empty(); }
  // The file is the caller's from now on.
  std::string release() { return std::exchange(path_, std::string()); }
  // The body's follower, or nullptr.
  FollowedBody* followed() const { return followed_.get(); }
  void follow(std::shared_ptr<FollowedBody> followed) { followed_ = std::move(followed); }

 private:
  std::string path_;
  std::shared_ptr<FollowedBody> followed_;
};

struct HttpRequest {
  std::string method;
  std::string path;                                          // the target without its query
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;                                          // unless it was spooled
  SpooledBody spooled;                                       // the body, when kept in a file
  std::string address;                                       // the client's
  // What the request holds of the memory budget: its body as it arrived, then what parsing it
  // takes; the handler grows it.
  MemoryBudget::Reservation reservation;

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
  // A body and an answer must move at least this many bytes a second, over every window of
  // `rate_window` (a body waiting for room in the memory budget is not held to it).
  std::size_t min_rate = 64 << 10;
  std::chrono::milliseconds rate_window{4000};
  // How long a body waits for room in the memory budget before it is answered 503.
  std::chrono::milliseconds budget_wait{10000};
  // A body's memory is reserved this much at a time as it arrives.
  std::size_t body_step = 4 << 20;
  // Where bodies the rules spool are kept while they are read; none when empty.
  std::string spool_dir;
};

// The largest body a request to a path may have, and the option that sets it (named when a
// body is refused).
struct BodyRule {
  std::size_t max_bytes = 0;
  std::string option;
  bool spool = false;  // kept in a file rather than in memory
  // For a spooled body: what reads its bytes as they arrive (see SpooledBody::followed).
  std::function<std::unique_ptr<BodyReader>()> follow = nullptr;
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
