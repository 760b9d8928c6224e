#include "client/payload.h"

#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && defined(__GNUC__)
// 24 bytes to 32 characters at a time with AVX2 (Muła and Lemire's method): each lane's 12 bytes
// are spread into 16 six-bit values by a shuffle and two multiplies, and each value is turned
// into its character by adding an offset looked up by its range. Encodes whole blocks while
// the 16-byte load of a block's second half stays inside the input; the bytes encoded.
__attribute__((target("avx2"))) std::size_t encode_blocks(const unsigned char* in, std::size_t size,
                                                          unsigned char* out) {
  const __m256i spread = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1, 10, 11,
                                         9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m256i offsets =
      _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                       'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  std::size_t done = 0;
  for (; size - done >= 28; done += 24, out += 32) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 12));
    __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    bytes = _mm256_shuffle_epi8(bytes, spread);
    const __m256i upper = _mm256_mulhi_epu16(_mm256_and_si256(bytes, _mm256_set1_epi32(0x0fc0fc00)),
                                             _mm256_set1_epi32(0x04000040));
    const __m256i lower = _mm256_mullo_epi16(_mm256_and_si256(bytes, _mm256_set1_epi32(0x003f03f0)),
                                             _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(upper, lower);
    // 0..25 -> 13 ('A'), 26..51 -> 0 ('a'), 52..61 -> 1..10 ('0'), 62 -> 11, 63 -> 12.
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    const __m256i capital = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
    range = _mm256_or_si256(range, _mm256_and_si256(capital, _mm256_set1_epi8(13)));
    const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
  }
  return done;
}
#endif

}  // namespace

void base64_append(const unsigned char* data, std::size_t length, std::string& out) {
  // EVP_EncodeBlock writes the standard alphabet with padding and no line breaks; it takes an
  // int length, so large inputs go through in blocks that are a multiple of three bytes.
  constexpr std::size_t kBlock = 3 * (1u << 20);
  const std::size_t start = out.size();
  out.resize(start + 4 * ((length + 2) / 3));
  auto* target = reinterpret_cast<unsigned char*>(out.data() + start);
  std::size_t first = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    first = encode_blocks(data, length, target);
    target += first / 3 * 4;
  }
#endif
  for (std::size_t done = first; done < length;) {
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
