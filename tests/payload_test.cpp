#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>

#include "client/payload.h"
#include "tests/support/decode.h"

namespace {

using namespace rest_client;
using testing_support::gunzip;

std::string text_of(const std::vector<unsigned char>& bytes) {
  return {bytes.begin(), bytes.end()};
}

TEST(Payload, Base64OverloadsAgreeAndPad) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\x00\xff\xfe", 3), "AP/+"}};
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(base64_encode(bytes), text);
    EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
              text);
  }
  // Across the encoder's internal block boundary.
  std::string big(3 * (1u << 20) + 2, '\0');
  std::mt19937 random(7);
  for (auto& c : big) c = static_cast<char>(random());
  const std::string encoded = base64_encode(big);
  EXPECT_EQ(encoded.size(), 4 * ((big.size() + 2) / 3));
  EXPECT_EQ(encoded.find('\n'), std::string::npos);
  EXPECT_EQ(encoded.substr(encoded.size() - 4), base64_encode(big.substr(big.size() - 2)));
  EXPECT_EQ(encoded.substr(4 * (1u << 20) - 8, 16),
            base64_encode(big.substr(3 * (1u << 20) - 6, 12)));
  // Every length across several of the vector encoder's 24-byte blocks, of bytes taking every
  // value, against OpenSSL's encoder.
  std::string bytes(300, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    std::string expected(4 * ((length + 2) / 3) + 1, '\0');
    expected.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(expected.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(length))));
    ASSERT_EQ(base64_encode(bytes.substr(0, length)), expected) << length;
  }
}

TEST(Payload, GzipMembers) {
  EXPECT_EQ(gunzip(text_of(gzipCompress({}, -1))), "");
  std::vector<unsigned char> noisy(1 << 20);
  std::mt19937 random(1);
  for (auto& b : noisy) b = static_cast<unsigned char>(random());
  const auto member = gzipCompress(noisy, -1);
  EXPECT_GT(member.size(), 262144u);  // several output chunks
  EXPECT_EQ(member[0], 0x1f);
  EXPECT_EQ(member[1], 0x8b);
  EXPECT_EQ(gunzip(text_of(member)), std::string(noisy.begin(), noisy.end()));
}

}  // namespace
