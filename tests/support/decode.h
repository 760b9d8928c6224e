#pragma once
// Decoding what the client sends: gzip members and base64 text.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace testing_support {

// The bytes of exactly one complete gzip member, or nothing when the input is anything else.
// The member is fed `piece` bytes at a time, as streaming decoders (Python's decompressobj,
// HTTP clients) take it: it must end exactly where the input ends.
inline std::optional<std::string> inflate_member(const std::string& member,
                                                 std::size_t piece = SIZE_MAX) {
  z_stream stream{};
  inflateInit2(&stream, 31);
  std::string out;
  char buffer[65536];
  int code = Z_OK;
  std::size_t at = 0;
  while (code == Z_OK && at < member.size()) {
    const std::size_t n = std::min(piece, member.size() - at);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data() + at));
    stream.avail_in = static_cast<uInt>(n);
    at += n;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      code = inflate(&stream, Z_NO_FLUSH);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (code == Z_OK && stream.avail_out == 0);
    if (code == Z_BUF_ERROR) code = Z_OK;  // it wants the next piece
  }
  const bool whole = code == Z_STREAM_END && at == member.size() && stream.avail_in == 0;
  inflateEnd(&stream);
  if (!whole) return std::nullopt;
  return out;
}

inline std::string gunzip(const std::string& member) {
  const auto out = inflate_member(member);
  EXPECT_TRUE(out.has_value()) << "not one complete gzip member";
  return out.value_or("");
}

inline std::string unbase64(const std::string& text) {
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(n));
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) out.pop_back();
  return out;
}

}  // namespace testing_support
