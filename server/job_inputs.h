#pragma once
// The input files of queued jobs, beside the database. A batch's input is its JSON text. An
// upload shard's input is the gzip of its data, then the gzip of its string ids, decoded from
// base64 as the request is read (the job's details give both sizes); the job maps it and
// decompresses it once. Inputs of an earlier version (the size of the shard's gzip in 8 bytes
// first) are still read.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvix_local {

// A job's input being written, in the queue's directory; removed unless a job takes it.
class StagedInput {
 public:
  explicit StagedInput(const std::string& directory);
  ~StagedInput();
  StagedInput(StagedInput&& other) noexcept;
  StagedInput(const StagedInput&) = delete;
  StagedInput& operator=(const StagedInput&) = delete;
  StagedInput& operator=(StagedInput&&) = delete;

  // Throws ApiError 507 when the disk is full, std::runtime_error for other failures.
  void write(std::string_view data);
  std::size_t size() const { return size_; }
  // Closes the file and gives its path to the caller, who now owns it.
  std::string release();

 private:
  std::string path_;
  int fd_ = -1;
  std::size_t size_ = 0;
};

// Decodes base64 text into `out`, a block at a time. Returns the bytes written and what the
// gzip trailer among them says of the data's size (its last four bytes: the size modulo 2^32).
// Throws std::runtime_error for text that is not base64.
struct DecodedGzip {
  std::size_t bytes = 0;
  std::uint32_t stated_size = 0;
};
DecodedGzip decode_base64_into(std::string_view base64, StagedInput& out);

// A job's input file mapped for reading.
class MappedInput {
 public:
  explicit MappedInput(const std::string& path);
  ~MappedInput();
  MappedInput(const MappedInput&) = delete;
  MappedInput& operator=(const MappedInput&) = delete;
  std::string_view bytes() const { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

class JobInput {
 public:
  explicit JobInput(const std::string& path);
  std::string read(std::size_t count);
  std::string rest();
  void seek(long at);

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

std::string read_job_input(const std::string& path);
// The size an earlier version's upload input begins with.
std::size_t shard_size(const std::string& header);

}  // namespace orvix_local
