#include "server/codec.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

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

std::string gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) throw std::runtime_error("cannot start gunzip");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  std::vector<char> buffer(1 << 20);
  int code = Z_OK;
  while (true) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
    stream.avail_out = static_cast<uInt>(buffer.size());
    code = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer.data(), buffer.size() - stream.avail_out);
    if (code == Z_STREAM_END) {
      if (stream.avail_in == 0) break;
      inflateReset(&stream);  // another member follows
      continue;
    }
    if (code != Z_OK) break;
  }
  inflateEnd(&stream);
  if (code != Z_STREAM_END) throw std::runtime_error("file data is not a complete gzip stream");
  return out;
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
