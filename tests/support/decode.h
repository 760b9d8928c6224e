#pragma once
// Decoding what the client sends: gzip members and base64 text.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <optional>
#include <string>

namespace testing_support {

// The bytes of exactly one complete gzip member, or nothing when the input is anything else.
inline std::optional<std::string> inflate_member(const std::string& member) {
  z_stream stream{};
  inflateInit2(&stream, 31);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
  stream.avail_in = static_cast<uInt>(member.size());
  std::string out;
  char buffer[65536];
  int code;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    code = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  } while (code == Z_OK);
  const bool whole = code == Z_STREAM_END && stream.avail_in == 0;  // nothing after the member
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
