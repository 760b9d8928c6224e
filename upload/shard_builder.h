#pragma once
// Builds one shard's request body at a time: the upload body's members in name order, with
// "file_data" streamed in from the compressor and "checksum" filled in once it is complete.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/request.h"
#include "upload/gzip_base64_stream.h"
#include "upload/input_file.h"

namespace rest_client {

// A line a reader wants shown; it is printed when its shard is sent, so the output keeps the
// order of a reader that sends each shard itself.
struct ReaderMessage {
  bool warning;  // a warning line; otherwise a plain line on standard error
  std::string text;
};

// A finished shard.
struct ShardBody {
  std::string text;                     // the whole request body
  std::string checksum;                 // of the "file_data" text
  std::vector<ReaderMessage> messages;  // to show before sending
  std::uint64_t first_record = 0;       // 1-based number of its first record in the file
  std::uint64_t records = 0;
  // Where its records lie in the file, and the SHA-256 of the file's first `hashed` bytes, which
  // cover them.
  std::uint64_t file_begin = 0, file_end = 0, hashed = 0;
  std::string file_sha256;
};

// What the file readers write to.
class ShardOutput {
 public:
  virtual ~ShardOutput() = default;
  virtual void add_data(const char* data, std::size_t size) = 0;
  virtual std::size_t data_size() const = 0;
  // Bytes of data at which a shard is handed off.
  virtual std::size_t shard_size() const = 0;
  // Ends the current shard of `records` records from `first_record` on (with its ids text while
  // ids are in use) and starts the next. The reader's count is the only count of records.
  virtual void hand_off(const std::string* shard_ids, std::uint64_t first_record,
                        std::uint64_t records) = 0;
  // Before a hand-off: the next record begins at `offset` in the file being read.
  virtual void shard_ends_at(std::uint64_t offset, const InputFile& file) {
    (void)offset, (void)file;
  }
  // Forgets the current shard's data: records before the first vector carry nothing.
  virtual void discard() = 0;
  // The string ids ran out after `ids` of them; the records that follow get default ids.
  virtual void ids_ran_out(std::uint64_t ids) = 0;
  virtual void warning(std::string text) = 0;
  virtual void note(std::string text) = 0;
  // True once the upload was abandoned; long passes that add no data look at it now and then.
  virtual bool stopping() const { return false; }
  // The upload's workers, for a reader's work in parallel.
  virtual WorkerPool& workers() = 0;
  // A dry run notes what is wrong with a record and reads on (true); an upload refuses the
  // record (false), and the reader throws.
  virtual bool problem(std::uint64_t record, std::uint64_t offset, const std::string& text) {
    (void)record, (void)offset, (void)text;
    return false;
  }
  // A dry run also checks each record's shape: how many values a vector record holds.
  virtual bool checking() const { return false; }
  virtual void record_shape(std::uint64_t record, std::uint64_t offset, std::size_t values) {
    (void)record, (void)offset, (void)values;
  }
  // And the id a record will be stored under, which must not repeat another's.
  virtual void record_id(std::uint64_t record, std::uint64_t offset, std::string_view id) {
    (void)record, (void)offset, (void)id;
  }
};

class ShardBuilder {
 public:
  ShardBuilder(json upload_body, std::size_t shard_size, WorkerPool& workers)
      : base_(std::move(upload_body)), shard_size_(shard_size), stream_(workers) {}

  // Starts a shard in `body`, whose capacity is reused.
  void start(std::string& body);
  void add_data(const char* data, std::size_t size) { stream_.write(data, size); }
  std::size_t data_size() const { return stream_.raw_size(); }
  // Completes the body started last; returns the checksum of its "file_data" text.
  std::string finish(std::string& body, const std::string* shard_ids);
  std::size_t shard_size() const { return shard_size_; }

 private:
  json base_;
  std::size_t shard_size_;
  std::size_t checksum_at_ = 0;
  std::size_t file_data_at_ = 0;
  GzipBase64Stream stream_;
};

}  // namespace rest_client
