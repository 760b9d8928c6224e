#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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

#include "server/http_connection.h"
#include "server/limits.h"

namespace orvix_local {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kListenTag = 0, kWakeTag = 1;
constexpr std::size_t kReadPiece = 1 << 20;
constexpr std::size_t kChunkedPiece = 64 << 10;

}  // namespace

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
  std::vector<char> scratch = std::vector<char>(kReadPiece);  // a spooled body's bytes pass here
  int spare_fd = -1;              // given up when descriptors run out, to accept and refuse
  bool listening_paused = false;  // no descriptor left: the listening socket is not watched
  BodyFollower follower;          // reads spooled bodies as they arrive

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
  int running = 0;         // requests the workers are running
  bool trim_owed = false;  // a large request ran since memory was last handed back
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
    connections.clear();
    if (listen_fd >= 0) ::close(listen_fd);
    ::close(wake_fd);
    ::close(epoll_fd);
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

  // Refuses a connection at once, with a short answer when its buffer takes it.
  static void turn_away(int fd) {
    static const std::string body = detail_json("too many connections; try again");
    static const std::string busy =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
        "Retry-After: 1\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    const ssize_t n = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
    ::close(fd);
  }

  void accept_all() {
    for (;;) {
      sockaddr_storage peer{};
      socklen_t peer_size = sizeof peer;
      const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) out_of_descriptors();
        return;
      }
      if (connections.size() >= limits.max_connections) {
        turn_away(fd);
        continue;
      }
      int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      connection->id = next_id++;
      connection->follower = &follower;
      connection->address = address_of(peer);
      connection->deadline = Clock::now() + limits.head_time;
      watch(fd, connection->id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
      connections.emplace(connection->id, std::move(connection));
    }
  }

  // With no descriptor left, the waiting connection would make the listening socket ready for
  // ever: the spare descriptor makes room to accept and refuse it; without one, the socket is
  // not watched until a connection closes.
  void out_of_descriptors() {
    if (spare_fd >= 0) {
      ::close(spare_fd);
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) turn_away(fd);
      spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spare_fd < 0 && !listening_paused) {
      watch(listen_fd, kListenTag, 0, EPOLL_CTL_MOD);
      listening_paused = true;
    }
  }

  static std::string address_of(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, text,
                  sizeof text);
    } else if (peer.ss_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr, text,
                  sizeof text);
    }
    return text;
  }

  void close_connection(Connection& connection) {
    ::close(connection.fd);  // also takes it out of epoll
    connection.fd = -1;
    stop_waiting(connection);
    connections.erase(connection.id);
    if (listening_paused) {
      if (spare_fd < 0) spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      watch(listen_fd, kListenTag, EPOLLIN, EPOLL_CTL_MOD);
      listening_paused = false;
    }
  }

  void stop_waiting(Connection& connection) {
    if (!connection.waiting_for_budget) return;
    connection.waiting_for_budget = false;
    budget_waiters.remove(connection.id);
    budget.waiting(connection.address, -1);
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
    stop_waiting(connection);
    return send_answer(connection, answer, true, connection.head.request.method == "HEAD");
  }

  // False when the connection is closed already. The answer's bytes count against the memory
  // budget until they are written; a HEAD request's answer has the head alone.
  bool send_answer(Connection& connection, const HttpAnswer& answer, bool close_after,
                   bool head_only) {
    connection.close_after = close_after || !connection.head.keep_alive;
    if (connection.close_after) connection.in = std::string();
    connection.used = 0;
    connection.head.request.body = std::string();
    connection.head.request.reservation.release();
    std::string& out = connection.out;
    out = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
    out += "Content-Type: " + answer.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    if (answer.status == 503) out += "Retry-After: 5\r\n";
    out += connection.close_after ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    if (!head_only) out += answer.body;
    connection.answer_reservation = budget.open(connection.address);
    budget.add(connection.answer_reservation, out.size());
    connection.written = 0;
    connection.phase = Connection::Phase::kWriting;
    connection.restart_window(Clock::now());
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
        connection.window_bytes += static_cast<std::size_t>(n);
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
    connection.answer_reservation.release();
    connection.head = Head();
    connection.phase = Connection::Phase::kHead;
    connection.waited_for_byte = true;
    connection.deadline = Clock::now() + limits.idle_time;
    watch(connection.fd, connection.id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    if (connection.pending() > 0) return advance(connection);
    return true;
  }

  // Reads what has arrived, as far as the memory budget lets a body grow. False when the
  // connection was closed.
  bool read_some(Connection& connection) {
    // A turn ends after a piece's worth of bytes, a small one for a chunked body: chunks of a
    // byte or two cost far more to take apart than to read, and the others wait for the turn.
    const std::size_t turn = connection.head.chunked ? kChunkedPiece : kReadPiece;
    std::size_t this_turn = 0;
    for (int round = 0; round < 16 && this_turn < turn; ++round) {
      std::size_t room = 64 << 10;  // a head, chunk sizes or trailers: never more waits unread
      if (connection.in_body()) {
        // Room is taken only for bytes that have come: a head alone holds nothing.
        if (connection.headroom() == 0) {
          int waiting = 0;
          if (::ioctl(connection.fd, FIONREAD, &waiting) != 0 || waiting <= 0) return true;
          if (!connection.grow(limits, budget)) return wait_for_budget(connection);
        }
        room = std::min(turn, connection.headroom());
      }
      // A body is read straight into place (memory or its file) when nothing waits before it.
      if (connection.phase == Connection::Phase::kBody && connection.pending() == 0 &&
          connection.spool_fd >= 0) {
        const ssize_t n = ::recv(connection.fd, scratch.data(), scratch.size(), 0);
        if (n > 0) {
          connection.window_bytes += static_cast<std::size_t>(n);
          const auto step = connection.take_body(scratch.data(), static_cast<std::size_t>(n));
          if (!act_on(connection, step)) return false;
          if (connection.phase != Connection::Phase::kBody) return true;
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n < 0 && errno == EINTR) continue;
        close_connection(connection);
        return false;
      }
      std::string& body = connection.head.request.body;
      const bool into_body = connection.phase == Connection::Phase::kBody &&
                             connection.pending() == 0 && connection.spool_fd < 0;
      if (into_body) {
        room = std::min(room, connection.head.length.value_or(0) - connection.body_bytes);
        body.resize(connection.body_bytes + room);
      } else {
        connection.in.resize(connection.in.size() + room);
      }
      char* target = into_body ? body.data() + connection.body_bytes
                               : connection.in.data() + connection.in.size() - room;
      const ssize_t n = ::recv(connection.fd, target, room, 0);
      const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
      this_turn += got;
      if (into_body) {
        body.resize(connection.body_bytes + got);
        connection.body_bytes += got;
      } else {
        connection.in.resize(connection.in.size() - room + got);
      }
      if (n > 0) {
        if (connection.in_body()) connection.window_bytes += got;
        if (connection.phase == Connection::Phase::kHead && connection.waited_for_byte) {
          connection.waited_for_byte = false;
          connection.deadline = Clock::now() + limits.head_time;
        }
        if (!advance(connection)) return false;
        if (connection.phase == Connection::Phase::kWorking ||
            connection.phase == Connection::Phase::kWriting || connection.waiting_for_budget) {
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

  // The body stops being read until the budget has room, for at most `budget_wait`.
  bool wait_for_budget(Connection& connection) {
    if (!connection.waiting_for_budget) {
      connection.waiting_for_budget = true;
      budget_waiters.push_back(connection.id);
      budget.waiting(connection.address, 1);
      connection.deadline = Clock::now() + limits.budget_wait;
      watch(connection.fd, connection.id, EPOLLRDHUP, EPOLL_CTL_MOD);
    }
    return true;
  }

  // Moves the connection through its request as far as the bytes at hand allow, and acts on
  // where that leads. False when the connection was closed.
  bool advance(Connection& connection) {
    return act_on(connection, connection.advance(limits, budget, body_limit));
  }

  bool act_on(Connection& connection, const Connection::Step& step) {
    switch (step.kind) {
      case Connection::Step::Kind::kMore:
        return true;
      case Connection::Step::Kind::kBudget:
        return wait_for_budget(connection);
      case Connection::Step::Kind::kDispatch:
        dispatch(connection);
        return true;
      case Connection::Step::Kind::kRefuse:
        break;
    }
    return refuse(connection, step.status, step.why);
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
        ++running;
      }
      Done result{task.connection, {}, task.request.method, task.request.path};
      const bool large_body = task.request.body.size() > kTrimAfterBytes;
      try {
        result.answer = handler(task.request);
      } catch (const std::exception&) {
        result.answer = {500, detail_json("internal error")};
      }
      task.request = HttpRequest();  // the body and its reservation go before the answer waits
      // A large body, or the many small pieces a large answer was built from, stay with the
      // workers' arenas once freed; they go back to the system when the workers fall idle, not
      // between requests of a burst, which would only fault them in again.
      bool trim = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        trim_owed = trim_owed || large_body || result.answer.body.size() > kTrimAfterBytes;
        trim = trim_owed && running == 0 && tasks.empty();
        if (trim) trim_owed = false;
      }
      if (trim) malloc_trim(0);
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
      send_answer(*found->second, result.answer, false, result.method == "HEAD");
    }
  }

  void retry_budget_waiters() {
    const std::list<std::uint64_t> waiting = budget_waiters;
    for (const auto id : waiting) {
      const auto found = connections.find(id);
      if (found == connections.end()) continue;
      Connection& connection = *found->second;
      // Bytes at hand first; then, with room, the socket again.
      if (connection.pending() > 0) {
        stop_waiting(connection);
        if (!advance(connection) || connection.waiting_for_budget) continue;
      } else if (connection.grow(limits, budget)) {
        stop_waiting(connection);
      } else {
        continue;
      }
      connection.restart_window(Clock::now());
      if (connection.in_body())
        watch(connection.fd, connection.id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    }
  }

  void expire(Clock::time_point now) {
    std::vector<Connection*> late;
    const auto slower_than_allowed = [&](const Connection& c) {
      const auto elapsed = now - c.window_start;
      if (elapsed < limits.rate_window) return false;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
      return c.window_bytes < limits.min_rate * static_cast<std::size_t>(ms) / 1000;
    };
    for (auto& [id, connection] : connections) {
      Connection& c = *connection;
      const bool timed =
          (c.phase == Connection::Phase::kHead || c.waiting_for_budget) && c.deadline <= now;
      const bool moving =
          c.phase == Connection::Phase::kWriting || (c.in_body() && !c.waiting_for_budget);
      if (timed || (moving && slower_than_allowed(c))) {
        late.push_back(&c);
      } else if (moving && now - c.window_start >= limits.rate_window) {
        c.restart_window(now);
      }
    }
    for (Connection* connection : late) {
      if (connection->phase == Connection::Phase::kHead) {
        if (connection->pending() == 0) {
          close_connection(*connection);
        } else {
          refuse(*connection, 408,
                 "the request head did not arrive within " +
                     std::to_string(limits.head_time.count() / 1000) + " s");
        }
      } else if (connection->waiting_for_budget) {
        refuse(*connection, 503, "the service is short of memory for this request; try again");
      } else if (connection->phase == Connection::Phase::kWriting) {
        close_connection(*connection);  // an answer read slower than the rate allows
      } else {
        refuse(*connection, 408,
               "the request body arrived slower than " + std::to_string(limits.min_rate >> 10) +
                   " KiB/s");
      }
    }
  }

  void serve() {
    spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
        if (connection.phase == Connection::Phase::kWorking || connection.waiting_for_budget) {
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
    if (spare_fd >= 0) ::close(spare_fd);
  }
};

SpooledBody::~SpooledBody() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

SpooledBody& SpooledBody::operator=(SpooledBody&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) ::unlink(path_.c_str());
    path_ = std::exchange(other.path_, std::string());
    followed_ = std::move(other.followed_);
  }
  return *this;
}

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
