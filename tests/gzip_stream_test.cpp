#include <gtest/gtest.h>

#include <random>

#include "tests/support/decode.h"
#include "upload/gzip_base64_stream.h"

namespace {

using rest_client::GzipBase64Stream;
using testing_support::gunzip;
using testing_support::unbase64;

TEST(GzipStream, ChunksCompressedApartJoinIntoOneMember) {
  constexpr std::size_t kChunk = 4096;
  std::mt19937 random(5);
  auto noise = [&](std::size_t size) {
    std::string text(size, '\0');
    for (auto& c : text) c = static_cast<char>(random());
    return text;
  };
  auto lines = [](std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) text += std::to_string(i) + ",0.25,-1.5\n";
    return text.substr(0, size);
  };
  const std::vector<std::string> inputs = {"",
                                           "x",
                                           lines(kChunk - 1),
                                           lines(kChunk),
                                           noise(kChunk + 1),
                                           lines(3 * kChunk + kChunk / 2),
                                           noise(50 * kChunk + 7),
                                           lines(64 * kChunk)};
  rest_client::WorkerPool workers(2);
  GzipBase64Stream stream(workers, kChunk);
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.size());
    std::string text = "prefix:";
    stream.begin(&text);
    // Written in uneven pieces, as the readers do.
    for (std::size_t at = 0, step = 1; at < input.size(); at += step, step = step * 3 % 9973) {
      stream.write(input.data() + at, std::min(step, input.size() - at));
    }
    stream.finish();
    EXPECT_EQ(stream.raw_size(), input.size());
    ASSERT_EQ(text.rfind("prefix:", 0), 0u);
    const std::string member = unbase64(text.substr(7));
    EXPECT_TRUE(gunzip(member) == input);
    for (const std::size_t piece : {1, 7, 4096}) {
      EXPECT_TRUE(testing_support::inflate_member(member, piece) == input)
          << "in pieces of " << piece;
    }
  }
}

}  // namespace
