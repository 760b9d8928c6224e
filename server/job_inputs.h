#pragma once
// The input files of queued jobs, beside the database: written whole when the job is
// submitted, read whole or in pieces when it runs. An upload job's input is the size of the
// shard's gzip (8 bytes, little-endian), the gzip of the shard, then the gzip of its string ids.

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvix_local {

class JobInput {
 public:
  explicit JobInput(const std::string& path);
  std::string read(std::size_t count);
  // Passes `count` bytes to `each` a piece at a time.
  template <typename Each>
  void stream(std::size_t count, Each&& each) {
    std::vector<char> buffer(4 << 20);
    while (count > 0) {
      const std::size_t n =
          std::fread(buffer.data(), 1, std::min(count, buffer.size()), file_.get());
      if (n == 0) throw std::runtime_error("the job's input is damaged");
      each(std::string_view(buffer.data(), n));
      count -= n;
    }
  }
  std::string rest();
  void seek(long at);

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

std::string read_job_input(const std::string& path);
// The upload input's first 8 bytes, and the shard size they hold.
std::string shard_header(std::size_t size);
std::size_t shard_size(const std::string& header);

}  // namespace orvix_local
