#include "server/codec.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orvix_local {

std::string base64_decode(const std::string& text) {
  if (text.size() % 4 != 0) throw std::runtime_error("file data is not base64 (bad length)");
  std::string out(text.size() / 4 * 3, '\0');
  constexpr std::size_t kBlock = 4 << 20;  // a multiple of 4
  std::size_t written = 0;
  for (std::size_t done = 0; done < text.size(); done += kBlock) {
    const std::size_t n = std::min(kBlock, text.size() - done);
    const int got = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                    reinterpret_cast<const unsigned char*>(text.data() + done),
                                    static_cast<int>(n));
    if (got < 0) throw std::runtime_error("file data is not base64");
    written += static_cast<std::size_t>(got);
  }
  std::size_t padding = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '=' && padding < 2; ++it) ++padding;
  out.resize(written - padding);
  return out;
}

namespace {

// One inflate stream, ended whatever happens.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, 31) != Z_OK) throw std::runtime_error("cannot start gunzip");
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Feeds every piece of output to `sink`; returns the total.
  template <typename Sink>
  std::size_t run(std::string_view data, std::size_t limit, Sink&& sink) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    std::size_t left = data.size(), total = 0;
    std::vector<char> buffer(1 << 20);
    int code = Z_OK;
    for (;;) {
      if (stream_.avail_in == 0 && left > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        stream_.avail_in = step;
        left -= step;
      }
      stream_.next_out = reinterpret_cast<Bytef*>(buffer.data());
      stream_.avail_out = static_cast<uInt>(buffer.size());
      code = inflate(&stream_, Z_NO_FLUSH);
      const std::size_t produced = buffer.size() - stream_.avail_out;
      total += produced;
      if (total > limit) throw TooLarge(limit);
      sink(buffer.data(), produced);
      if (code == Z_STREAM_END) {
        if (stream_.avail_in == 0 && left == 0) break;
        inflateReset(&stream_);  // another member follows
        continue;
      }
      if (code != Z_OK) break;
    }
    if (code != Z_STREAM_END) throw std::runtime_error("file data is not a complete gzip stream");
    return total;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::string gunzip(std::string_view data, std::size_t limit) {
  std::string out;
  Inflater().run(data, limit, [&out](const char* piece, std::size_t n) { out.append(piece, n); });
  return out;
}

std::size_t gunzipped_size(std::string_view data, std::size_t limit) {
  return Inflater().run(data, limit, [](const char*, std::size_t) {});
}

std::string sha256_hex(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  EVP_Digest(text.data(), text.size(), digest, nullptr, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace orvix_local
