#pragma once
// One client connection of the HTTP front and the request it is reading: head, memory, body
// (whole or chunked), each within its limits. It reads nothing itself: the front hands it the
// bytes that arrived, and acts on what they lead to.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/http_head.h"
#include "server/http_server.h"

namespace orvix_local {

struct Connection {
  using Clock = std::chrono::steady_clock;
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
  // What the bytes at hand lead to.
  struct Step {
    enum class Kind {
      kMore,      // nothing to do until more bytes arrive
      kBudget,    // the body must wait for room in the memory budget
      kDispatch,  // the request is whole: it goes to a worker
      kRefuse,    // answered with `status` and `why`, then closed
    } kind = Kind::kMore;
    int status = 0;
    std::string why;
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
  std::size_t have = 0;    // body bytes read straight into place (kBody)
  std::size_t chunk_left = 0;
  std::size_t trailer_bytes = 0;

  std::string out;
  std::size_t written = 0;
  bool close_after = false;

  // Moves through the request as far as the bytes at hand allow.
  Step advance(const HttpLimits& limits, MemoryBudget& budget,
               const HttpServer::BodyLimit& body_limit);

  // How long `bytes` take at the slowest rate a transfer may keep.
  static std::chrono::milliseconds at_min_rate(const HttpLimits& limits, std::size_t bytes) {
    return std::chrono::milliseconds(bytes / std::max<std::size_t>(limits.min_rate / 1000, 1));
  }
};

}  // namespace orvix_local
