#pragma once
// One client connection of the HTTP front and the request it is reading: head, body (whole or
// chunked, in memory or spooled to a file), each within its limits. It reads nothing itself: the
// front hands it the bytes that arrived, and acts on what they lead to. The bytes it holds are
// used from an offset and dropped once a batch of them is used, never one chunk at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "server/http_head.h"
#include "server/http_server.h"

namespace orvix_local {

struct Connection {
  using Clock = std::chrono::steady_clock;
  enum class Phase {
    kHead,
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

  ~Connection();

  int fd = -1;
  std::uint64_t id = 0;
  std::string address;  // the client's
  Phase phase = Phase::kHead;
  std::string in;               // bytes read and not yet dropped
  std::size_t used = 0;         // of them, those already used
  Clock::time_point deadline;   // for the head, a kept-alive connection's wait, or the budget
  bool waited_for_byte = true;  // in kHead: no byte of this request yet
  bool waiting_for_budget = false;
  // The rate rule: bytes moved in the current window, and when it began.
  Clock::time_point window_start;
  std::size_t window_bytes = 0;

  Head head;
  BodyRule rule;
  std::size_t body_bytes = 0;        // of the body, stored so far
  int spool_fd = -1;                 // while a spooled body is written
  BodyFollower* follower = nullptr;  // the server's, for bodies whose rule asks to be followed
  std::size_t chunk_left = 0;
  std::size_t trailer_bytes = 0;

  std::string out;
  std::size_t written = 0;
  bool close_after = false;
  MemoryBudget::Reservation answer_reservation;  // the answer's bytes, until they are written

  // Bytes not yet used.
  std::size_t pending() const { return in.size() - used; }
  // True while a body is being read.
  bool in_body() const {
    return phase == Phase::kBody || phase == Phase::kChunkSize || phase == Phase::kChunkData ||
           phase == Phase::kChunkEnd || phase == Phase::kTrailer;
  }
  // Body bytes the memory budget lets arrive now, beyond those at hand; a spooled body is not
  // held in memory.
  std::size_t headroom() const;
  // Moves through the request as far as the bytes at hand allow.
  Step advance(const HttpLimits& limits, MemoryBudget& budget,
               const HttpServer::BodyLimit& body_limit);
  // Bytes of a spooled body read straight from the socket.
  Step take_body(const char* data, std::size_t size);
  // Takes room for the body's next bytes from the budget; false when there is none now.
  bool grow(const HttpLimits& limits, MemoryBudget& budget);
  // Starts a new rate window.
  void restart_window(Clock::time_point now) {
    window_start = now;
    window_bytes = 0;
  }

 private:
  // Stores body bytes (in memory or in the spool file).
  Step store(const char* data, std::size_t size, MemoryBudget& budget, const HttpLimits& limits);
  // Writes body bytes to the spool file and counts them; the refusal when they cannot be kept.
  std::optional<Step> spool(const char* data, std::size_t size);
  // The spooled body is whole: its file is closed.
  void end_spool();
  Step start_body(const HttpLimits& limits);
};

}  // namespace orvix_local
