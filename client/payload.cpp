#include "client/payload.h"

#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace rest_client {
namespace {

// Owns a deflate stream from deflateInit2 to deflateEnd.
class DeflateStream {
 public:
  explicit DeflateStream(int level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("deflateInit2 failed");
    }
  }
  ~DeflateStream() { deflateEnd(&stream_); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
};

}  // namespace

void base64_append(const unsigned char* data, std::size_t length, std::string& out) {
  // EVP_EncodeBlock writes the standard alphabet with padding and no line breaks; it takes an
  // int length, so large inputs go through in blocks that are a multiple of three bytes.
  constexpr std::size_t kBlock = 3 * (1u << 20);
  const std::size_t start = out.size();
  out.resize(start + 4 * ((length + 2) / 3));
  auto* target = reinterpret_cast<unsigned char*>(out.data() + start);
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(kBlock, length - done);
    target += EVP_EncodeBlock(target, data + done, static_cast<int>(n));
    done += n;
  }
}

std::string base64_encode(const unsigned char* data, unsigned long length) {
  std::string out;
  base64_append(data, length, out);
  return out;
}

std::string base64_encode(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

char* write_json_number(double value, char* out) {
  return nlohmann::detail::to_chars(out, out + kJsonNumberRoom, value);
}

void append_json_number(double value, std::string& out) {
  char digits[kJsonNumberRoom];
  out.append(digits, write_json_number(value, digits));
}

std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level) {
  DeflateStream deflater(level);
  z_stream* stream = deflater.get();
  stream->next_in = const_cast<Bytef*>(data.data());
  stream->avail_in = static_cast<uInt>(data.size());
  std::vector<unsigned char> result;
  constexpr std::size_t kChunk = 262144;
  std::vector<unsigned char> chunk(kChunk);
  unsigned char* buffer = chunk.data();
  int code;
  do {
    stream->next_out = buffer;
    stream->avail_out = kChunk;
    code = deflate(stream, Z_FINISH);
    if (code == Z_STREAM_ERROR) break;
    result.insert(result.end(), buffer, buffer + (kChunk - stream->avail_out));
  } while (code == Z_OK);
  if (code != Z_STREAM_END) throw std::runtime_error("Exception during zlib compression");
  return result;
}

std::string calculate_sha256(const std::string& text) {
  return sha256_hex(text.data(), text.size());
}

std::string sha256_hex(const char* data, std::size_t size) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  EVP_Digest(data, size, digest, nullptr, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex(2 * SHA256_DIGEST_LENGTH, '0');
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return hex;
}

void require_regular_file(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    throw std::invalid_argument("'" + path + "' is not a regular file");
  }
}

std::string readFileContents(const std::string& path) {
  require_regular_file(path);
  std::ifstream file(path, std::ios::binary);
  if (file.fail()) throw std::runtime_error("Could not open file: " + path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

}  // namespace rest_client
