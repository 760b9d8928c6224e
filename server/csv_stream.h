#pragma once
// A CSV shard's records read while the shard is still being decompressed: each batch of whole
// lines is parsed on a thread of its own as soon as it is decompressed, and its records handed
// on in line order, so that decompressing, parsing and storing a shard run side by side rather
// than one after the other. The text goes through a few blocks kept from shard to shard, not
// into one buffer the size of the shard: fresh memory costs as much to fill as decompressing.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/kept_buffers.h"
#include "server/limits.h"
#include "server/shard_records.h"
#include "server/store.h"

namespace orvix_local {

// A block of the text, with room past its end that is written without being cleared first.
struct TextBlock {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;

  void clear() { size = 0; }
  void reserve(std::size_t bytes);
  std::string_view view() const { return {data.get(), size}; }
};

class CsvStream {
 public:
  using Texts = KeptBuffers<TextBlock>;
  using Values = KeptBuffers<std::vector<float>>;
  // A batch of records, and the block of values they point into.
  using Add = std::function<void(std::vector<VectorRecord>, std::shared_ptr<const void>)>;
  using Batches = KeptVectors<VectorRecord>;
  // `ids`, when given, are paired with the records in order; they, the format and the pools
  // outlive this. `batches`, when given, lends each batch of records its memory.
  CsvStream(const ShardFormat& format, const std::vector<std::string>* ids,
            const ServiceLimits& limits, const std::atomic<bool>* stop, Texts& texts,
            Values& values, Add add, Batches* batches = nullptr);
  // Stops parsing and waits for the thread: what was handed on stays handed on.
  ~CsvStream();
  CsvStream(const CsvStream&) = delete;
  CsvStream& operator=(const CsvStream&) = delete;

  // Room at the end of the text for the next decompressed bytes, so that they need not be
  // copied: `append` is then told what was written there.
  std::span<char> room();
  // Takes the next decompressed bytes (written into the room, or anywhere else), handing on each
  // batch of whole lines they complete.
  void append(const char* data, std::size_t size);
  // Hands on the rest and waits for every batch. Throws the first bad line or limit in line
  // order, or a count of ids that differs from the records'.
  void finish();

 private:
  // A block of the text, and the last batch handed out of it.
  struct Block {
    std::shared_ptr<TextBlock> text;
    std::uint64_t last_batch = 0;
  };
  void next_block();
  void grow(std::size_t bytes);
  void hand(std::string_view lines);
  void wait_parsed(std::uint64_t batch);
  void run();

  CsvRecords records_;
  const std::vector<std::string>* ids_;
  Texts& texts_;
  Values& values_;
  Batches* record_batches_;
  std::size_t batch_bytes_;
  Add add_;
  std::array<Block, 3> blocks_;
  std::size_t current_ = 0;
  std::size_t handed_ = 0;     // bytes of the current block handed on
  std::size_t lines_end_ = 0;  // just past the current block's last line break
  std::uint64_t batches_handed_ = 0;
  std::size_t paired_ = 0;  // records handed on

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string_view> batches_;
  std::uint64_t batches_parsed_ = 0;
  bool ending_ = false;
  std::atomic<bool> failed_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace orvix_local
