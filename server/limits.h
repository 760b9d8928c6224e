#pragma once
// The bounds Orvix Local puts on what one request may make it hold. Each has a command-line
// option; going over one is answered 413 (400 for nesting) with a text naming the option.

#include <cstddef>
#include <string>

namespace orvix_local {

struct ServiceLimits {
  std::size_t max_upload_body = 1ULL << 30;    // --max-body-mb: an upload request
  std::size_t max_request_body = 64ULL << 20;  // --max-request-mb: any other request
  std::size_t max_shard_bytes = 512ULL << 20;  // --max-shard-mb: a shard once decompressed
  std::size_t max_records = 1000000;           // --max-records: vectors in one request or shard
  std::size_t max_results = 100000;            // --max-results: queries x top_k in one answer
  int max_depth = 32;                          // nesting of a request or of one JSON record
  std::size_t max_inflight = 1ULL << 30;       // --max-inflight-mb: all requests in flight
  int inflight_wait_ms = 10000;                // how long a request waits for room in it
  // A float32 shard's vectors stored at a time while the rest is still decompressed.
  std::size_t feed_batch_bytes = 32ULL << 20;
};

// Fixed bounds, each with why it is what it is.
// Memory freed after a request whose body or answer is larger than this is handed back to the
// system at once: a large answer is built from many small pieces that the allocator would keep.
inline constexpr std::size_t kTrimAfterBytes = 1 << 20;
// What a search answer's text is reserved at before it is written: a query's braces, names and
// number, and a match's distance and id, with room for ids of a few dozen bytes.
inline constexpr std::size_t kAnswerBytesPerQuery = 64, kAnswerBytesPerMatch = 64;
// What the thread that follows spooled bodies reads of one at a time: a body's bytes are taken
// in turns of at most this, between which other bodies get theirs.
inline constexpr std::size_t kFollowPiece = 1 << 20;
// What one write to a file (a spooled body, a job's input, a dataset's values) hands the kernel
// at most. A write of 1 MiB or more is given page-cache pages of that size, which a virtual
// machine's host backs at four to eight times the cost of small ones (200 MiB written a MiB at a
// time: 0.2 to 0.55 s of the service's time, against 0.05 s at 512 KiB).
inline constexpr std::size_t kWritePiece = 512 << 10;
// Header lines of one request: far more than any client sends.
inline constexpr std::size_t kMaxHeaders = 128;
// A request body for a path outside /api, which nothing reads.
inline constexpr std::size_t kOtherBody = 64 << 10;
// A request without a usable key is parsed, to say what else is wrong with it, only when it is
// no larger than this.
inline constexpr std::size_t kExplainedBody = 64 << 10;
// The longest line of a CSV or libsvm shard, and the most fields a CSV line may have (the
// largest dimension and a thousand more for ids and attributes).
inline constexpr std::size_t kMaxLineBytes = 16 << 20;
inline constexpr std::size_t kMaxFields = 65536 + 1024;
// A JSON record's text: a vector of the largest dimension in long notation, with room for
// attributes.
inline constexpr std::size_t kMaxElementBytes = 16 << 20;
// Upload shards waiting to be read ahead, in queue order: more than the queue holds while a
// client sends shards faster than they are stored.
inline constexpr std::size_t kPrefetchOffers = 256;
// Decompressed shard texts kept for the next shards: the job runner's and the read ahead's.
inline constexpr std::size_t kKeptShardTexts = 2;
// The blocks a CSV shard's text goes through, kept for the next shard.
inline constexpr std::size_t kKeptCsvBlocks = 3;
// Blocks of parsed CSV values kept for the next batches: a 200 MB shard's, of 128 values a line.
inline constexpr std::size_t kKeptValueBlocks = 8;
// Batches of records (float32 or CSV) kept for the next shard, once their records are stored: a
// 200 MB float32 shard's, of 128 values a vector.
inline constexpr std::size_t kKeptRecordBatches = 8;
// Settled jobs kept for clients to ask about; older ones are dropped while the queue is idle.
inline constexpr std::size_t kKeptJobs = 10000;

// What went over a limit, as the service says it.
inline std::string over_limit(const std::string& what, std::size_t amount, std::size_t limit,
                              const std::string& option) {
  return what + " (" + std::to_string(amount) + ") is over the limit of " + std::to_string(limit) +
         " (" + option + ")";
}

}  // namespace orvix_local
