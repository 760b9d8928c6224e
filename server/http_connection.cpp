#include "server/http_connection.h"

#include <sys/socket.h>

#include <algorithm>

#include "server/large_memory.h"
#include "server/limits.h"

namespace orvix_local {
namespace {

Connection::Step refuse(int status, std::string why) {
  return {Connection::Step::Kind::kRefuse, status, std::move(why)};
}

}  // namespace

Connection::Step Connection::advance(const HttpLimits& limits, MemoryBudget& budget,
                                     const HttpServer::BodyLimit& body_limit) {
  using Phase = Connection::Phase;
  for (;;) {
    switch (phase) {
      case Phase::kHead: {
        auto end = in.find("\r\n\r\n");
        std::size_t skip = 4;
        if (const auto bare = in.find("\n\n");
            bare != std::string::npos && (end == std::string::npos || bare < end)) {
          end = bare;
          skip = 2;
        }
        if (end == std::string::npos || end > limits.max_header_bytes) {
          if (in.size() > limits.max_header_bytes) {
            return refuse(431, "the request head is over " +
                                   std::to_string(limits.max_header_bytes) + " bytes");
          }
          return {};
        }
        head = parse_head(std::string_view(in).substr(0, end));
        in.erase(0, end + skip);
        if (head.refusal != 0) {
          return refuse(head.refusal, head.why);
        }
        rule = body_limit(head.request.path);
        const std::size_t length = head.length.value_or(0);
        if (length > rule.max_bytes || (head.chunked && rule.max_bytes == 0)) {
          return refuse(413, over_limit("the request body", length, rule.max_bytes, rule.option));
        }
        wanted = length;
        phase = Phase::kBudget;
        deadline = Clock::now() + limits.budget_wait;
        break;
      }
      case Phase::kBudget: {
        auto reservation = budget.try_take(wanted);
        if (!reservation) {
          if (wanted > budget.limit()) {
            return refuse(
                413, over_limit("the request body", wanted, budget.limit(), "--max-inflight-mb"));
          }
          return {Step::Kind::kBudget, 0, ""};
        }
        head.request.reservation = std::move(*reservation);
        if (head.expects_continue) {
          static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
          const ssize_t n =
              ::send(fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          (void)n;
        }
        const std::size_t length = head.length.value_or(0);
        deadline = Clock::now() + limits.head_time + at_min_rate(limits, length);
        if (head.chunked) {
          phase = Phase::kChunkSize;
        } else {
          reserve_advised(head.request.body, length);
          head.request.body.resize(length);
          have = 0;
          phase = Phase::kBody;
        }
        break;
      }
      case Phase::kBody: {
        std::string& body = head.request.body;
        const std::size_t take = std::min(in.size(), body.size() - have);
        std::copy_n(in.data(), take, body.data() + have);
        in.erase(0, take);
        have += take;
        if (have < body.size()) return {};
        return {Step::Kind::kDispatch, 0, ""};
      }
      case Phase::kChunkSize: {
        const auto end = in.find('\n');
        if (end == std::string::npos) {
          if (in.size() > 1024) {
            return refuse(400, "a chunk size line is too long");
          }
          return {};
        }
        std::string_view line = std::string_view(in).substr(0, end);
        line = trimmed(line.substr(0, line.find(';')));
        if (line.empty() || line.size() > 15 ||
            line.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
          return refuse(400, "a chunk size is not a hexadecimal number");
        }
        const std::size_t size = std::stoull(std::string(line), nullptr, 16);
        in.erase(0, end + 1);
        std::string& body = head.request.body;
        if (size > rule.max_bytes - body.size()) {
          return refuse(
              413, over_limit("the request body", body.size() + size, rule.max_bytes, rule.option));
        }
        if (!head.request.reservation.grow(size)) {
          return refuse(503, "the service is short of memory for this request; try again");
        }
        chunk_left = size;
        phase = size == 0 ? Phase::kTrailer : Phase::kChunkData;
        break;
      }
      case Phase::kChunkData: {
        const std::size_t take = std::min(in.size(), chunk_left);
        head.request.body.append(in, 0, take);
        in.erase(0, take);
        chunk_left -= take;
        if (chunk_left > 0) return {};
        phase = Phase::kChunkEnd;
        break;
      }
      case Phase::kChunkEnd: {
        const auto end = in.find('\n');
        if (end == std::string::npos) {
          if (in.size() > 2) {
            return refuse(400, "a chunk does not end where its size says");
          }
          return {};
        }
        if (trimmed(std::string_view(in).substr(0, end)).size() != 0) {
          return refuse(400, "a chunk does not end where its size says");
        }
        in.erase(0, end + 1);
        phase = Phase::kChunkSize;
        break;
      }
      case Phase::kTrailer: {
        const auto end = in.find('\n');
        if (end == std::string::npos) {
          if (trailer_bytes + in.size() > limits.max_header_bytes) {
            return refuse(431, "the request's trailers are too long");
          }
          return {};
        }
        const bool last = trimmed(std::string_view(in).substr(0, end)).empty();
        trailer_bytes += end + 1;
        in.erase(0, end + 1);
        if (last) {
          return {Step::Kind::kDispatch, 0, ""};
        }
        break;
      }
      case Phase::kWorking:
      case Phase::kWriting:
        return {};
    }
  }
}

}  // namespace orvix_local
