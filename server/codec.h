#pragma once
// Decoding what clients send: base64 text and gzip members.

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvix_local {

// Raised when decompressed data would go over the caller's limit.
struct TooLarge : std::runtime_error {
  explicit TooLarge(std::size_t limit_bytes)
      : std::runtime_error("decompressed data over the limit"), limit(limit_bytes) {}
  std::size_t limit;
};

// Throws std::runtime_error for text that is not base64.
std::string base64_decode(std::string_view text);
// Decodes base64 text, whose length is a multiple of 4, into `out` (room for size / 4 x 3
// bytes) and returns the bytes written. Padding may end only the last piece: `last` says
// whether `text` is it. Throws std::runtime_error for text that is not base64.
std::size_t base64_decode_into(std::string_view text, char* out, bool last);

// Decompresses a gzip stream (every member) fed in pieces of any size; each piece of output
// goes to the sink as soon as it is made. Throws TooLarge as soon as the output would pass
// `limit` bytes, and std::runtime_error for bad data.
class GzipReader {
 public:
  using Sink = std::function<void(const char* data, std::size_t size)>;
  // Where the output goes, when given: room at least a byte long, asked for before each step;
  // what was written there is then handed to the sink. Saves copying out of a buffer of its own.
  using Room = std::function<std::span<char>()>;
  GzipReader(std::size_t limit, Sink sink, Room room = nullptr);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  void feed(std::string_view piece);
  // Throws unless the input ended with a whole member.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
// Every member of a gzip stream, concatenated; throws std::runtime_error for bad data and
// TooLarge as soon as the output would pass `limit` bytes.
std::string gunzip(std::string_view data, std::size_t limit);
// The size gunzip would return, found without keeping the output.
std::size_t gunzipped_size(std::string_view data, std::size_t limit);
std::string sha256_hex(std::string_view text);
// Bytes as lower-case hex, two digits each.
std::string lower_hex(const unsigned char* bytes, std::size_t size);

}  // namespace orvix_local
