#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <unordered_map>

#include "server/limits.h"

namespace orvix_local {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kListenTag = 0, kWakeTag = 1;
constexpr std::size_t kMaxHeaders = 128;
constexpr std::size_t kReadPiece = 1 << 20;

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

// The path with its %XX escapes decoded (bytes that decode to anything are the log's to escape).
std::string decoded_path(std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  std::string out;
  out.reserve(path.size());
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 && hex(path[i + 2]) >= 0) {
      out += static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

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

Head parse_head(std::string_view text) {
  Head head;
  auto refuse = [&head](int status, std::string why) {
    head.refusal = status;
    head.why = std::move(why);
    return std::move(head);
  };
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const auto end = text.find('\n', at);
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return refuse(400, "the request has no request line");
  const std::string_view first = lines[0];
  const auto space1 = first.find(' ');
  const auto space2 = first.find(' ', space1 == std::string_view::npos ? 0 : space1 + 1);
  if (space1 == std::string_view::npos || space2 == std::string_view::npos ||
      first.find(' ', space2 + 1) != std::string_view::npos) {
    return refuse(400, "the request line is not METHOD TARGET VERSION");
  }
  const std::string_view method = first.substr(0, space1);
  const std::string_view target = first.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = first.substr(space2 + 1);
  if (!is_token(method) || target.empty() || target.front() != '/') {
    return refuse(400, "the request line is not METHOD TARGET VERSION");
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return refuse(505, "only HTTP/1.0 and HTTP/1.1 are served");
  }
  head.request.method = std::string(method);
  head.request.path = decoded_path(target);
  head.keep_alive = version == "HTTP/1.1";
  if (lines.size() - 1 > kMaxHeaders) {
    return refuse(431, "the request has more than " + std::to_string(kMaxHeaders) + " headers");
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) {
      return refuse(400, "a header line is not NAME: VALUE");
    }
    head.request.headers.emplace_back(lower(line.substr(0, colon)),
                                      std::string(trimmed(line.substr(colon + 1))));
  }
  for (const auto& [name, value] : head.request.headers) {
    if (name == "content-length") {
      if (value.empty() || value.size() > 18 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        return refuse(400, "Content-Length must be a number of bytes");
      }
      const std::size_t length = std::stoull(value);
      if (head.length && *head.length != length) {
        return refuse(400, "Content-Length is given twice with two values");
      }
      head.length = length;
    } else if (name == "transfer-encoding") {
      if (lower(value) != "chunked")
        return refuse(501, "only the chunked transfer coding is served");
      head.chunked = true;
    } else if (name == "connection") {
      const std::string tokens = lower(value);
      if (tokens.find("close") != std::string::npos) head.keep_alive = false;
      if (tokens.find("keep-alive") != std::string::npos && version == "HTTP/1.0") {
        head.keep_alive = true;
      }
    } else if (name == "expect") {
      head.expects_continue = lower(value) == "100-continue";
    }
  }
  if (head.chunked && head.length) {
    return refuse(400, "a request may not have both Content-Length and Transfer-Encoding");
  }
  return head;
}

struct Connection {
  enum class Phase {
    kHead,
    kBudget,
    kBody,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailer,
    kWorking,
    kWriting
  };
  int fd = -1;
  std::uint64_t id = 0;
  Phase phase = Phase::kHead;
  std::string in;  // bytes read and not yet used
  Clock::time_point deadline;
  bool waited_for_byte = true;  // in kHead: no byte of this request yet

  Head head;
  BodyRule rule;
  std::size_t wanted = 0;  // body bytes to reserve
  std::size_t have = 0;    // body bytes read (kBody)
  std::size_t chunk_left = 0;
  std::size_t trailer_bytes = 0;

  std::string out;
  std::size_t written = 0;
  bool close_after = false;
};

}  // namespace

std::string loggable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || byte == '\\') {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string detail_json(const std::string& text) {
  return nlohmann::json{{"detail", text}}.dump(-1, ' ', false,
                                               nlohmann::json::error_handler_t::replace);
}

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return &value;
  }
  return nullptr;
}

struct HttpServer::Loop {
  HttpLimits limits;
  MemoryBudget& budget;
  BodyLimit body_limit;
  Handler handler;

  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;
  std::atomic<bool> stopping{false};
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::list<std::uint64_t> budget_waiters;  // in the order they began to wait
  std::uint64_t next_id = 2;

  // Work for the workers, and what they finished.
  struct Task {
    std::uint64_t connection;
    HttpRequest request;
  };
  struct Done {
    std::uint64_t connection;
    HttpAnswer answer;
    std::string method, path;
  };
  std::mutex mutex;
  std::condition_variable work_ready;
  std::deque<Task> tasks;
  std::vector<Done> done;
  bool workers_stop = false;
  std::vector<std::thread> workers;

  Loop(HttpLimits l, MemoryBudget& b, BodyLimit bl, Handler h)
      : limits(l), budget(b), body_limit(std::move(bl)), handler(std::move(h)) {
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd < 0 || wake_fd < 0) throw std::runtime_error("cannot watch connections");
    watch(wake_fd, kWakeTag, EPOLLIN, EPOLL_CTL_ADD);
    budget.on_release([this] { wake(); });
  }
  ~Loop() {
    budget.on_release(nullptr);
    for (auto& [id, connection] : connections) ::close(connection->fd);
    if (listen_fd >= 0) ::close(listen_fd);
    ::close(wake_fd);
    ::close(epoll_fd);
  }

  // How long `bytes` take at the slowest rate a transfer may keep.
  std::chrono::milliseconds at_min_rate(std::size_t bytes) const {
    return std::chrono::milliseconds(bytes / std::max<std::size_t>(limits.min_rate / 1000, 1));
  }

  void wake() {
    const std::uint64_t one = 1;
    const ssize_t n = ::write(wake_fd, &one, sizeof one);
    (void)n;  // a full counter is awake already
  }

  void watch(int fd, std::uint64_t tag, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    ::epoll_ctl(epoll_fd, op, fd, &event);
  }

  void log(const std::string& method, const std::string& path, int status, std::size_t bytes) {
    std::fprintf(stderr, "%s %s %d %zu\n", loggable(method).c_str(), loggable(path).c_str(), status,
                 bytes);
  }

  // ---- connections ----

  void accept_all() {
    for (;;) {
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      if (connections.size() >= limits.max_connections) {
        static const std::string body = detail_json("too many connections; try again");
        static const std::string busy =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
            "Retry-After: 1\r\nConnection: close\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        const ssize_t n = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
        ::close(fd);
        continue;
      }
      int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      connection->id = next_id++;
      connection->deadline = Clock::now() + limits.head_time;
      watch(fd, connection->id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
      connections.emplace(connection->id, std::move(connection));
    }
  }

  void close_connection(Connection& connection) {
    ::close(connection.fd);  // also takes it out of epoll
    budget_waiters.remove(connection.id);
    connections.erase(connection.id);
  }

  // Answers from the front itself (refusals, time-outs); the connection closes after it. False
  // when it is closed already.
  bool refuse(Connection& connection, int status, const std::string& why) {
    connection.head.keep_alive = false;
    HttpAnswer answer{status, detail_json(why)};
    if (status == 413) {
      answer.body = nlohmann::json{{"detail", why}, {"error_code", "LIMIT_EXCEEDED"}}.dump();
    }
    log(connection.head.request.method.empty() ? "-" : connection.head.request.method,
        connection.head.request.path.empty() ? "-" : connection.head.request.path, status,
        answer.body.size());
    return send_answer(connection, answer, true);
  }

  // False when the connection is closed already.
  bool send_answer(Connection& connection, const HttpAnswer& answer, bool close_after) {
    connection.close_after = close_after || !connection.head.keep_alive;
    if (connection.close_after) connection.in = std::string();
    connection.head.request.body = std::string();
    std::string& out = connection.out;
    out = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
    out += "Content-Type: " + answer.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    if (answer.status == 503) out += "Retry-After: 5\r\n";
    out += connection.close_after ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    out += answer.body;
    connection.written = 0;
    connection.phase = Connection::Phase::kWriting;
    connection.deadline = Clock::now() + limits.head_time + at_min_rate(out.size());
    watch(connection.fd, connection.id, EPOLLOUT, EPOLL_CTL_MOD);
    return write_some(connection);
  }

  // False when the connection was closed.
  bool write_some(Connection& connection) {
    while (connection.written < connection.out.size()) {
      const ssize_t n = ::send(connection.fd, connection.out.data() + connection.written,
                               connection.out.size() - connection.written, MSG_NOSIGNAL);
      if (n > 0) {
        connection.written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0 && errno == EINTR) continue;
      close_connection(connection);
      return false;
    }
    if (connection.close_after) {
      close_connection(connection);
      return false;
    }
    // Ready for the next request on this connection.
    connection.out = std::string();
    connection.head = Head();
    connection.phase = Connection::Phase::kHead;
    connection.waited_for_byte = true;
    connection.deadline = Clock::now() + limits.idle_time;
    watch(connection.fd, connection.id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    if (!connection.in.empty()) return advance(connection);
    return true;
  }

  // Reads what has arrived. False when the connection was closed.
  bool read_some(Connection& connection) {
    for (int round = 0; round < 16; ++round) {
      char* target;
      std::size_t room;
      std::string& body = connection.head.request.body;
      const bool into_body = connection.phase == Connection::Phase::kBody && connection.in.empty();
      if (into_body) {
        target = body.data() + connection.have;
        room = std::min(kReadPiece, body.size() - connection.have);
      } else {
        // A head, chunk sizes or trailers: never more than the header limit waits unread.
        const std::size_t old = connection.in.size();
        room = 64 << 10;
        connection.in.resize(old + room);
        target = connection.in.data() + old;
      }
      const ssize_t n = ::recv(connection.fd, target, room, 0);
      if (!into_body) connection.in.resize(connection.in.size() - room + std::max<ssize_t>(n, 0));
      if (n > 0) {
        if (into_body) connection.have += static_cast<std::size_t>(n);
        if (connection.phase == Connection::Phase::kHead && connection.waited_for_byte) {
          connection.waited_for_byte = false;
          connection.deadline = Clock::now() + limits.head_time;
        }
        if (!advance(connection)) return false;
        if (connection.phase == Connection::Phase::kWorking ||
            connection.phase == Connection::Phase::kWriting ||
            connection.phase == Connection::Phase::kBudget) {
          return true;
        }
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0 && errno == EINTR) continue;
      // The peer is gone (or its half is closed): a request not read whole is never run.
      close_connection(connection);
      return false;
    }
    return true;
  }

  // Moves the connection through its request as far as the bytes at hand allow. False when
  // the connection was closed.
  bool advance(Connection& connection) {
    using Phase = Connection::Phase;
    for (;;) {
      switch (connection.phase) {
        case Phase::kHead: {
          auto end = connection.in.find("\r\n\r\n");
          std::size_t skip = 4;
          if (const auto bare = connection.in.find("\n\n");
              bare != std::string::npos && (end == std::string::npos || bare < end)) {
            end = bare;
            skip = 2;
          }
          if (end == std::string::npos || end > limits.max_header_bytes) {
            if (connection.in.size() > limits.max_header_bytes) {
              return refuse(
                  connection, 431,
                  "the request head is over " + std::to_string(limits.max_header_bytes) + " bytes");
            }
            return true;
          }
          connection.head = parse_head(std::string_view(connection.in).substr(0, end));
          connection.in.erase(0, end + skip);
          if (connection.head.refusal != 0) {
            return refuse(connection, connection.head.refusal, connection.head.why);
          }
          connection.rule = body_limit(connection.head.request.path);
          const std::size_t length = connection.head.length.value_or(0);
          if (length > connection.rule.max_bytes ||
              (connection.head.chunked && connection.rule.max_bytes == 0)) {
            return refuse(connection, 413,
                          over_limit("the request body", length, connection.rule.max_bytes,
                                     connection.rule.option));
          }
          connection.wanted = length;
          connection.phase = Phase::kBudget;
          connection.deadline = Clock::now() + limits.budget_wait;
          break;
        }
        case Phase::kBudget: {
          auto reservation = budget.try_take(connection.wanted);
          if (!reservation) {
            if (connection.wanted > budget.limit()) {
              return refuse(connection, 413,
                            over_limit("the request body", connection.wanted, budget.limit(),
                                       "--max-inflight-mb"));
            }
            if (std::find(budget_waiters.begin(), budget_waiters.end(), connection.id) ==
                budget_waiters.end()) {
              budget_waiters.push_back(connection.id);
              watch(connection.fd, connection.id, EPOLLRDHUP, EPOLL_CTL_MOD);
            }
            return true;
          }
          budget_waiters.remove(connection.id);
          watch(connection.fd, connection.id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
          connection.head.request.reservation = std::move(*reservation);
          if (connection.head.expects_continue) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            const ssize_t n =
                ::send(connection.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
          }
          const std::size_t length = connection.head.length.value_or(0);
          connection.deadline = Clock::now() + limits.head_time + at_min_rate(length);
          if (connection.head.chunked) {
            connection.phase = Phase::kChunkSize;
          } else {
            connection.head.request.body.resize(length);
            connection.have = 0;
            connection.phase = Phase::kBody;
          }
          break;
        }
        case Phase::kBody: {
          std::string& body = connection.head.request.body;
          const std::size_t take = std::min(connection.in.size(), body.size() - connection.have);
          std::copy_n(connection.in.data(), take, body.data() + connection.have);
          connection.in.erase(0, take);
          connection.have += take;
          if (connection.have < body.size()) return true;
          dispatch(connection);
          return true;
        }
        case Phase::kChunkSize: {
          const auto end = connection.in.find('\n');
          if (end == std::string::npos) {
            if (connection.in.size() > 1024) {
              return refuse(connection, 400, "a chunk size line is too long");
            }
            return true;
          }
          std::string_view line = std::string_view(connection.in).substr(0, end);
          line = trimmed(line.substr(0, line.find(';')));
          if (line.empty() || line.size() > 15 ||
              line.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
            return refuse(connection, 400, "a chunk size is not a hexadecimal number");
          }
          const std::size_t size = std::stoull(std::string(line), nullptr, 16);
          connection.in.erase(0, end + 1);
          std::string& body = connection.head.request.body;
          if (size > connection.rule.max_bytes - body.size()) {
            return refuse(connection, 413,
                          over_limit("the request body", body.size() + size,
                                     connection.rule.max_bytes, connection.rule.option));
          }
          if (!connection.head.request.reservation.grow(size)) {
            return refuse(connection, 503,
                          "the service is short of memory for this request; try again");
          }
          connection.chunk_left = size;
          connection.phase = size == 0 ? Phase::kTrailer : Phase::kChunkData;
          break;
        }
        case Phase::kChunkData: {
          const std::size_t take = std::min(connection.in.size(), connection.chunk_left);
          connection.head.request.body.append(connection.in, 0, take);
          connection.in.erase(0, take);
          connection.chunk_left -= take;
          if (connection.chunk_left > 0) return true;
          connection.phase = Phase::kChunkEnd;
          break;
        }
        case Phase::kChunkEnd: {
          const auto end = connection.in.find('\n');
          if (end == std::string::npos) {
            if (connection.in.size() > 2) {
              return refuse(connection, 400, "a chunk does not end where its size says");
            }
            return true;
          }
          if (trimmed(std::string_view(connection.in).substr(0, end)).size() != 0) {
            return refuse(connection, 400, "a chunk does not end where its size says");
          }
          connection.in.erase(0, end + 1);
          connection.phase = Phase::kChunkSize;
          break;
        }
        case Phase::kTrailer: {
          const auto end = connection.in.find('\n');
          if (end == std::string::npos) {
            if (connection.trailer_bytes + connection.in.size() > limits.max_header_bytes) {
              return refuse(connection, 431, "the request's trailers are too long");
            }
            return true;
          }
          const bool last = trimmed(std::string_view(connection.in).substr(0, end)).empty();
          connection.trailer_bytes += end + 1;
          connection.in.erase(0, end + 1);
          if (last) {
            dispatch(connection);
            return true;
          }
          break;
        }
        case Phase::kWorking:
        case Phase::kWriting:
          return true;
      }
    }
  }

  void dispatch(Connection& connection) {
    connection.phase = Connection::Phase::kWorking;
    watch(connection.fd, connection.id, EPOLLRDHUP, EPOLL_CTL_MOD);
    {
      std::lock_guard<std::mutex> lock(mutex);
      tasks.push_back({connection.id, std::move(connection.head.request)});
    }
    work_ready.notify_one();
  }

  void work() {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        work_ready.wait(lock, [this] { return workers_stop || !tasks.empty(); });
        if (workers_stop) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      Done result{task.connection, {}, task.request.method, task.request.path};
      try {
        result.answer = handler(task.request);
      } catch (const std::exception&) {
        result.answer = {500, detail_json("internal error")};
      }
      task.request = HttpRequest();  // the body and its reservation go before the answer waits
      {
        std::lock_guard<std::mutex> lock(mutex);
        done.push_back(std::move(result));
      }
      wake();
    }
  }

  void deliver_answers() {
    std::vector<Done> finished;
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished.swap(done);
    }
    for (auto& result : finished) {
      log(result.method, result.path, result.answer.status, result.answer.body.size());
      const auto found = connections.find(result.connection);
      if (found == connections.end()) continue;  // the client went away meanwhile
      send_answer(*found->second, result.answer, false);
    }
  }

  void retry_budget_waiters() {
    const std::list<std::uint64_t> waiting = budget_waiters;
    for (const auto id : waiting) {
      const auto found = connections.find(id);
      if (found == connections.end()) continue;
      if (!advance(*found->second)) continue;
    }
  }

  void expire(Clock::time_point now) {
    std::vector<Connection*> late;
    for (auto& [id, connection] : connections) {
      if (connection->phase != Connection::Phase::kWorking && connection->deadline <= now) {
        late.push_back(connection.get());
      }
    }
    for (Connection* connection : late) {
      using Phase = Connection::Phase;
      switch (connection->phase) {
        case Phase::kHead:
          if (connection->in.empty()) {
            close_connection(*connection);
          } else {
            refuse(*connection, 408,
                   "the request head did not arrive within " +
                       std::to_string(limits.head_time.count() / 1000) + " s");
          }
          break;
        case Phase::kBudget:
          budget_waiters.remove(connection->id);
          refuse(*connection, 503, "the service is short of memory for this request; try again");
          break;
        case Phase::kWriting:
          close_connection(*connection);
          break;
        default:
          refuse(*connection, 408, "the request body did not arrive in time");
          break;
      }
    }
  }

  void serve() {
    for (std::size_t i = 0; i < std::max<std::size_t>(limits.workers, 1); ++i) {
      workers.emplace_back([this] { work(); });
    }
    epoll_event events[64];
    auto next_sweep = Clock::now();
    while (!stopping.load()) {
      const int count = ::epoll_wait(epoll_fd, events, 64, 100);
      for (int i = 0; i < count && !stopping.load(); ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kListenTag) {
          accept_all();
          continue;
        }
        if (tag == kWakeTag) {
          std::uint64_t drained;
          while (::read(wake_fd, &drained, sizeof drained) > 0) {
          }
          deliver_answers();
          retry_budget_waiters();
          continue;
        }
        const auto found = connections.find(tag);
        if (found == connections.end()) continue;
        Connection& connection = *found->second;
        const std::uint32_t what = events[i].events;
        if (connection.phase == Connection::Phase::kWriting) {
          if (what & (EPOLLERR | EPOLLHUP)) {
            close_connection(connection);
          } else if (what & EPOLLOUT) {
            write_some(connection);
          }
          continue;
        }
        if (connection.phase == Connection::Phase::kWorking ||
            connection.phase == Connection::Phase::kBudget) {
          // The request is whole, or waits for memory: only a hang-up matters. A client gone
          // both ways gets no answer; one that only closed its sending half still does.
          if (what & (EPOLLERR | EPOLLHUP)) {
            close_connection(connection);
          } else if (what & EPOLLRDHUP) {
            watch(connection.fd, connection.id, 0, EPOLL_CTL_MOD);
          }
          continue;
        }
        read_some(connection);
      }
      const auto now = Clock::now();
      if (now >= next_sweep) {
        expire(now);
        next_sweep = now + std::chrono::milliseconds(50);
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      workers_stop = true;
      tasks.clear();
    }
    work_ready.notify_all();
    for (auto& worker : workers) worker.join();
  }
};

HttpServer::HttpServer(HttpLimits limits, MemoryBudget& budget, BodyLimit body_limit,
                       Handler handler)
    : loop_(std::make_unique<Loop>(limits, budget, std::move(body_limit), std::move(handler))) {}

HttpServer::~HttpServer() = default;

bool HttpServer::bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  int fd = -1;
  for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    // The port can be bound again at once after a stop, whatever connections are still closing.
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return false;
  loop_->listen_fd = fd;
  loop_->watch(fd, kListenTag, EPOLLIN, EPOLL_CTL_ADD);
  return true;
}

int HttpServer::port() const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(loop_->listen_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void HttpServer::run() {
  loop_->serve();
}

void HttpServer::stop() {
  loop_->stopping = true;
  loop_->wake();
}

}  // namespace orvix_local
