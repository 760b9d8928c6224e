#include "server/http_connection.h"

#include <charconv>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "server/large_memory.h"
#include "server/limits.h"

namespace orvix_local {
namespace {

Connection::Step refuse(int status, std::string why) {
  return {Connection::Step::Kind::kRefuse, status, std::move(why)};
}

Connection::Step more() {
  return {};
}

}  // namespace

Connection::~Connection() {
  if (spool_fd >= 0) ::close(spool_fd);
}

std::size_t Connection::headroom() const {
  if (spool_fd >= 0) return std::numeric_limits<std::size_t>::max();
  const std::size_t reserved = head.request.reservation.bytes();
  return reserved > body_bytes + pending() ? reserved - body_bytes - pending() : 0;
}

bool Connection::grow(const HttpLimits& limits, MemoryBudget& budget) {
  std::size_t step = limits.body_step;
  if (!head.chunked) step = std::min(step, head.length.value_or(0) - body_bytes);
  return budget.try_grow(head.request.reservation, std::max<std::size_t>(step, 1));
}

Connection::Step Connection::store(const char* data, std::size_t size, MemoryBudget& budget,
                                   const HttpLimits& limits) {
  if (spool_fd >= 0) {
    if (auto refused = spool(data, size)) return *refused;
    return more();
  }
  auto& reservation = head.request.reservation;
  if (reservation.bytes() < body_bytes + size) {
    if (body_bytes + size > budget.limit()) {
      return refuse(413, over_limit("the request body", body_bytes + size, budget.limit(),
                                    "--max-inflight-mb"));
    }
    const std::size_t need = body_bytes + size - reservation.bytes();
    if (!budget.try_grow(reservation, std::max(need, std::min(limits.body_step, need * 2)))) {
      return {Step::Kind::kBudget, 0, ""};
    }
  }
  head.request.body.append(data, size);
  body_bytes += size;
  return more();
}

std::optional<Connection::Step> Connection::spool(const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(spool_fd, data + done, std::min(size - done, kWritePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return errno == ENOSPC || errno == EDQUOT
                 ? refuse(507, "the service's disk is full; nothing was stored")
                 : refuse(500, "the request body could not be kept: " +
                                   std::string(std::strerror(errno)));
    }
    done += static_cast<std::size_t>(n);
  }
  body_bytes += size;
  if (FollowedBody* followed = head.request.spooled.followed()) followed->arrived(body_bytes);
  return std::nullopt;
}

void Connection::end_spool() {
  ::close(spool_fd);
  spool_fd = -1;
  if (FollowedBody* followed = head.request.spooled.followed()) followed->complete();
}

Connection::Step Connection::take_body(const char* data, std::size_t size) {
  const std::size_t left = head.length.value_or(0) - body_bytes;
  if (size > left) {
    // Bytes past the body begin the next request.
    in.append(data + left, size - left);
    size = left;
  }
  if (auto refused = spool(data, size)) return *refused;
  if (body_bytes < head.length.value_or(0)) return more();
  end_spool();
  return {Step::Kind::kDispatch, 0, ""};
}

Connection::Step Connection::start_body(const HttpLimits& limits) {
  if (head.expects_continue) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    const ssize_t n = ::send(fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
  }
  restart_window(Clock::now());
  const std::size_t length = head.length.value_or(0);
  if (rule.spool && !limits.spool_dir.empty() && (head.chunked || length > 0)) {
    std::string path = limits.spool_dir + "/body-XXXXXX";
    spool_fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (spool_fd < 0) {
      return errno == ENOSPC || errno == EDQUOT
                 ? refuse(507, "the service's disk is full; nothing was stored")
                 : refuse(500,
                          "the request body cannot be kept: " + std::string(std::strerror(errno)));
    }
    head.request.spooled = SpooledBody(path);
    if (rule.follow && follower != nullptr) {
      head.request.spooled.follow(follower->follow(spool_fd, rule.follow()));
    }
  } else if (!head.chunked) {
    reserve_advised(head.request.body, length);
  }
  phase = head.chunked ? Phase::kChunkSize : Phase::kBody;
  return more();
}

Connection::Step Connection::advance(const HttpLimits& limits, MemoryBudget& budget,
                                     const HttpServer::BodyLimit& body_limit) {
  using Phase = Connection::Phase;
  // The bytes used go once, whatever the number of chunks they held.
  struct Compact {
    Connection& c;
    ~Compact() {
      if (c.used > 0) {
        c.in.erase(0, c.used);
        c.used = 0;
      }
    }
  } compact{*this};
  auto dispatch = [this]() -> Step {
    if (spool_fd >= 0) end_spool();
    return {Step::Kind::kDispatch, 0, ""};
  };
  for (;;) {
    const std::string_view rest = std::string_view(in).substr(used);
    switch (phase) {
      case Phase::kHead: {
        // Empty lines before a request line are passed over, as HTTP/1.1 allows.
        std::size_t lead = 0;
        while (lead < rest.size() && (rest[lead] == '\r' || rest[lead] == '\n')) ++lead;
        used += lead;
        const std::string_view text = rest.substr(lead);
        auto end = text.find("\r\n\r\n");
        std::size_t skip = 4;
        if (const auto bare = text.find("\n\n");
            bare != std::string_view::npos && (end == std::string_view::npos || bare < end)) {
          end = bare;
          skip = 2;
        }
        if (end == std::string_view::npos || end > limits.max_header_bytes) {
          if (text.size() > limits.max_header_bytes) {
            return refuse(431, "the request head is over " +
                                   std::to_string(limits.max_header_bytes) + " bytes");
          }
          return more();
        }
        head = parse_head(text.substr(0, end));
        head.request.address = address;
        used += end + skip;
        if (head.refusal != 0) return refuse(head.refusal, head.why);
        rule = body_limit(head.request.path);
        const std::size_t length = head.length.value_or(0);
        if (length > rule.max_bytes || (head.chunked && rule.max_bytes == 0)) {
          return refuse(413, over_limit("the request body", length, rule.max_bytes, rule.option));
        }
        if (!rule.spool && length > budget.limit()) {
          return refuse(
              413, over_limit("the request body", length, budget.limit(), "--max-inflight-mb"));
        }
        head.request.reservation = budget.open(address);
        body_bytes = 0;
        trailer_bytes = 0;
        if (Step step = start_body(limits); step.kind != Step::Kind::kMore) return step;
        if (phase == Phase::kBody && length == 0) return dispatch();
        break;
      }
      case Phase::kBody: {
        const std::size_t take = std::min(rest.size(), head.length.value_or(0) - body_bytes);
        if (take > 0) {
          if (Step step = store(rest.data(), take, budget, limits);
              step.kind != Step::Kind::kMore) {
            return step;
          }
          used += take;
        }
        if (body_bytes == head.length.value_or(0)) return dispatch();
        return more();
      }
      case Phase::kChunkSize: {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos) {
          if (rest.size() > 1024) return refuse(400, "a chunk size line is too long");
          return more();
        }
        // The size ends at an extension's ';' within its own line: a search past the line would
        // cross every chunk still unread, once per chunk.
        const std::string_view size_line = rest.substr(0, end);
        std::string_view line = trimmed(size_line.substr(0, size_line.find(';')));
        // Leading zeros are part of the number (1*HEXDIG): only the digits after them count.
        while (line.size() > 1 && line.front() == '0') line.remove_prefix(1);
        if (line.empty() || line.size() > 15 ||
            line.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
          return refuse(400, "a chunk size is not a hexadecimal number");
        }
        std::size_t size = 0;
        std::from_chars(line.data(), line.data() + line.size(), size, 16);
        if (size > rule.max_bytes - body_bytes) {
          return refuse(
              413, over_limit("the request body", body_bytes + size, rule.max_bytes, rule.option));
        }
        used += end + 1;
        chunk_left = size;
        phase = size == 0 ? Phase::kTrailer : Phase::kChunkData;
        break;
      }
      case Phase::kChunkData: {
        const std::size_t take = std::min(rest.size(), chunk_left);
        if (take > 0) {
          if (Step step = store(rest.data(), take, budget, limits);
              step.kind != Step::Kind::kMore) {
            return step;
          }
          used += take;
          chunk_left -= take;
        }
        if (chunk_left > 0) return more();
        phase = Phase::kChunkEnd;
        break;
      }
      case Phase::kChunkEnd: {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos) {
          if (rest.size() > 2) return refuse(400, "a chunk does not end where its size says");
          return more();
        }
        if (!trimmed(rest.substr(0, end)).empty()) {
          return refuse(400, "a chunk does not end where its size says");
        }
        used += end + 1;
        phase = Phase::kChunkSize;
        break;
      }
      case Phase::kTrailer: {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos) {
          if (trailer_bytes + rest.size() > limits.max_header_bytes) {
            return refuse(431, "the request's trailers are too long");
          }
          return more();
        }
        const bool last = trimmed(rest.substr(0, end)).empty();
        trailer_bytes += end + 1;
        used += end + 1;
        if (last) return dispatch();
        break;
      }
      case Phase::kWorking:
      case Phase::kWriting:
        return more();
    }
  }
}

}  // namespace orvix_local
