#pragma once
// The input files of queued jobs, beside the database. A batch's input is its JSON text. An
// upload shard's input is a file holding the base64 of its gzip and of its ids' gzip, where the
// job's details say: the request's own body when it was spooled to a file, taken as it is, or
// the two texts written one after the other. The job decodes and decompresses it once, a window
// at a time.
// Inputs of an earlier version (the size of the shard's gzip in 8 bytes, the gzip of the shard,
// then the gzip of its ids) are still read.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/codec.h"

namespace orvix_local {

// A job's input being written, in the queue's directory; removed unless a job takes it.
class StagedInput {
 public:
  explicit StagedInput(const std::string& directory);
  // A file written elsewhere (a spooled request body), taken as it is.
  static StagedInput adopt(std::string path);
  ~StagedInput();
  StagedInput(StagedInput&& other) noexcept;
  StagedInput(const StagedInput&) = delete;

 private:
  StagedInput() = default;

 public:
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

// What the gzip trailer at the end of base64 text says of the data's size (its last four bytes:
// the size modulo 2^32); 0 when the text is too short to hold one or is not base64.
std::uint32_t stated_gzip_size(std::string_view base64);

// A job's input file read a window at a time: a window is mapped, every page of it read in at
// once, only while it is handed on, so that reading a shard of hundreds of megabytes holds one
// window of it rather than all of it.
class WindowedInput {
 public:
  // Throws std::runtime_error when the file is missing.
  explicit WindowedInput(const std::string& path);
  ~WindowedInput();
  WindowedInput(const WindowedInput&) = delete;
  WindowedInput& operator=(const WindowedInput&) = delete;
  std::size_t size() const { return size_; }
  // Hands the bytes [begin, end) on in order, `window` bytes at a time (the last piece may be
  // shorter); `last` marks the last piece.
  void read(std::size_t begin, std::size_t end, std::size_t window,
            const std::function<void(std::string_view piece, bool last)>& take) const;

 private:
  int fd_ = -1;
  std::size_t size_ = 0;
};

// Decodes the base64 text at [begin, end) of a job's input and inflates the gzip it holds into
// `out` (whose capacity is reused), a window at a time. Throws TooLarge past `limit` and
// std::runtime_error for bad data.
void inflate_base64(const WindowedInput& input, std::size_t begin, std::size_t end,
                    std::size_t limit, std::string& out);
// The same, handing the inflated bytes to `sink` as they come (written into `room`, when given).
void inflate_base64(const WindowedInput& input, std::size_t begin, std::size_t end,
                    std::size_t limit, const GzipReader::Sink& sink,
                    const GzipReader::Room& room = nullptr);

// A job's input file mapped for reading.
class MappedInput {
 public:
  // `populate`: every page is read in at once, for a reader of the whole file; otherwise a page is
  // read when it is first touched.
  explicit MappedInput(const std::string& path, bool populate = true);
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
