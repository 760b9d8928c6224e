#pragma once
// Compresses a byte stream into one gzip member (ISA-L, level 1) and appends the base64 text
// of the compressed bytes to a target string as they come, so a shard never exists in memory
// as raw bytes, compressed bytes and base64 text at once.

#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <string>
#include <vector>

namespace rest_client {

class GzipBase64Stream {
 public:
  GzipBase64Stream();
  GzipBase64Stream(const GzipBase64Stream&) = delete;
  GzipBase64Stream& operator=(const GzipBase64Stream&) = delete;

  // Starts a new member whose base64 text is appended to `target`.
  void begin(std::string* target);
  void write(const char* data, std::size_t size);
  // Ends the member and writes the last base64 group with its padding.
  void finish();
  std::size_t raw_size() const { return raw_size_; }

 private:
  void compress(bool last);
  void encode(const unsigned char* data, std::size_t size);

  isal_zstream stream_{};
  std::vector<unsigned char> level_buffer_;
  std::vector<unsigned char> input_;
  std::size_t input_used_ = 0;
  std::vector<unsigned char> output_;
  unsigned char carry_[3] = {};
  std::size_t carry_size_ = 0;
  std::string* target_ = nullptr;
  std::size_t raw_size_ = 0;
};

}  // namespace rest_client
