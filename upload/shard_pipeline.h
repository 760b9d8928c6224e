#pragma once
// Runs a file reader on a second thread so that the next shard is compressed while the current
// one is sent and its upload jobs are polled. One request is in flight at a time; two shard
// bodies take turns, so their memory is reused rather than allocated per shard.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "upload/shard_builder.h"

namespace rest_client {

class ShardPipeline : private ShardOutput {
 public:
  using Reader = std::function<void(ShardOutput&)>;

  // A resumed upload's reader begins at `first_offset` in the file.
  ShardPipeline(json upload_body, std::size_t shard_size, Reader reader,
                std::uint64_t first_offset = 0);
  ~ShardPipeline();
  ShardPipeline(const ShardPipeline&) = delete;
  ShardPipeline& operator=(const ShardPipeline&) = delete;

  // The next finished shard, or nullopt when the reader is done or has failed. Each shard must
  // be given back with `recycle`. While waiting, `on_wait` is called now and then (unlocked).
  std::optional<ShardBody> next(const std::function<void()>& on_wait = {});
  // Bytes of shard data the reader has produced so far.
  std::uint64_t bytes_read() const { return bytes_read_.load(std::memory_order_relaxed); }
  // Rethrows what ended the reader, if it failed.
  void rethrow_failure();
  void recycle(ShardBody&& shard);
  // Messages the reader left after its last shard.
  std::vector<ReaderMessage> take_trailing_messages();
  // Once the reader is done: when the string ids ran out, how many there were, and how many
  // records were sent without ids after that.
  struct ShortIds {
    std::uint64_t ids = 0;
    std::uint64_t records_without = 0;
  };
  std::optional<ShortIds> short_ids();

 private:
  struct Stopped {};

  void add_data(const char* data, std::size_t size) override;
  std::size_t data_size() const override;
  std::size_t shard_size() const override { return builder_.shard_size(); }
  void hand_off(const std::string* shard_ids, std::uint64_t first_record,
                std::uint64_t records) override;
  void shard_ends_at(std::uint64_t offset, const InputFile& file) override;
  void discard() override;
  void ids_ran_out(std::uint64_t ids) override;
  void warning(std::string text) override;
  void note(std::string text) override;
  bool stopping() const override { return stopping_.load(std::memory_order_relaxed); }
  WorkerPool& workers() override { return workers_; }
  void run(const Reader& reader);

  WorkerPool workers_;  // first made, last gone: the builder's stream and the reader use it
  ShardBuilder builder_;
  ShardBody current_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<ShardBody> ready_;  // a finished shard waiting to be sent
  std::optional<ShardBody> spare_;  // a sent shard's buffers, for the reader to refill
  bool reader_done_ = false;
  bool stop_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> bytes_read_{0};  // read without the lock while records are added
  std::exception_ptr failure_;
  std::vector<ReaderMessage> trailing_;
  // The reader's thread alone, until it is done.
  std::uint64_t next_begin_;
  std::optional<ShortIds> short_ids_;
  std::thread thread_;
};

}  // namespace rest_client
