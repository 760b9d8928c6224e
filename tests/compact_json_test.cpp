// The upload's fast JSON path against the JSON library it stands in for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "upload/compact_json.h"
#include "upload/json_array_scanner.h"

namespace rest_client {
namespace {

using nlohmann::json;

// The library's verdict on one element: its compact form, and whether every float in it is
// finite as a 32-bit float; nothing when it refuses the text.
struct Library {
  std::string dump;
  bool finite = true;
};

bool floats_finite(const json& value) {
  if (value.is_number_float()) return std::isfinite(static_cast<float>(value.get<double>()));
  if (!value.is_structured()) return true;
  for (const auto& child : value) {
    if (!floats_finite(child)) return false;
  }
  return true;
}

std::optional<Library> library(const std::string& text) {
  try {
    const json value = json::parse(text);
    return Library{value.dump(), floats_finite(value)};
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

// Compares the fast path with the library on `text`; true when the fast path wrote it.
bool agrees(CompactJson& fast, const std::string& text) {
  std::string padded = text + std::string(JsonArrayScanner::kPadding, 'x');
  const std::string_view view(padded.data(), text.size());
  const auto expected = library(text);
  std::string out;
  const bool written = fast.append(view, out);
  if (written) {
    EXPECT_TRUE(expected.has_value()) << "written but refused by the library: " << text;
    EXPECT_EQ(out, expected ? expected->dump : "") << text;
  }
  if (fast.check(view)) {
    EXPECT_TRUE(expected && expected->finite) << "passed but the library's check fails: " << text;
  }
  return written;
}

TEST(CompactJson, EdgeCasesAreWrittenAsTheLibraryWritesThem) {
  // clang-format off
  const std::vector<std::string> numbers = {
      "0", "5e-324", "1e308", "1.7976931348623157e308", "2.2250738585072014e-308", "1e-7",
      "-1.5E+3", "0.000001", "100000.0", "1e16", "0.1", "3.4028236e38", "9007199254740993",
      "18446744073709551615", "-9223372036854775808"};
  const std::vector<std::string> written = {
      "[]", "{}", " [ [ ] , { } ] ", "{\"b\":1,\"a\":2,\"B\":3}", "{\"a\":1,\"a\":2}",
      "{\"a\":{\"c\":1,\"b\":2},\"x\":null,\"a\":[3,true]}", "{\"\xc3\xa9\":1,\"z\":2,\"\":3}",
      "\"\\u0000\\u001f\\u007f\\b\\f\\n\\r\\t\\\"\\\\\\/\"", "\"\\ud83d\\ude00 \\u00e9\"",
      "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\"", "{\"\\n\":\"\\u0001\"}",
      "[0.123450, -2.000, 10.10, 0.0, -0.000, 0.624558]", "{\"\":\"\", \"a\":{}, \"b\":-0.5e0, \"c\":-12}"};
  // Left to the library: what it reads differently or refuses.
  const std::vector<std::string> left = {
      "\"\\ud800\"", "\"\\udc00\\ud800\"", "\"\xff\"", "\"\xc3\"", "\"a\x01z\"", "[1,]",
      "{\"a\"}", "01", "1.", "tru", "\"abc", "[1 2]", "1 2", "", "NaN"};
  // Either way, as long as what is written is the library's.
  const std::vector<std::string> either = {
      "-0", "18446744073709551616", "-9223372036854775809", "123456789012345678901234567890",
      "1E400"};
  // clang-format on
  CompactJson fast;
  for (const auto& text : numbers) EXPECT_TRUE(agrees(fast, text)) << text;
  for (const auto& text : written) EXPECT_TRUE(agrees(fast, text)) << text;
  for (const auto& text : left) EXPECT_FALSE(agrees(fast, text)) << text;
  for (const auto& text : either) agrees(fast, text);
}

// Random documents in the shapes uploads hold, with every kind of number and string.
class Documents {
 public:
  explicit Documents(unsigned seed) : random_(seed) {}

  std::string value(int depth) {
    static const char* keys[] = {"a", "b", "id", "v", "\\u00e9", "", "A"};
    std::string text;
    switch (pick(depth > 0 ? 7 : 4)) {
      case 0:
      case 1:
        return number();
      case 2:
        for (int n = pick(6); n-- > 0;) text += kStringPieces[pick(std::size(kStringPieces))];
        return "\"" + text + "\"";
      case 3:
        return std::vector<const char*>{"true", "false", "null"}[pick(3)];
      case 4:
      case 5:
        for (int n = pick(5); n-- > 0;)
          text += (text.empty() ? "" : ",") + value(depth - 1) + blank();
        return "[" + blank() + text + "]";
      default:
        for (int n = pick(5); n-- > 0;) {
          text += (text.empty() ? "\"" : ",\"") + std::string(keys[pick(7)]) + "\"" + blank() +
                  ":" + value(depth - 1);
        }
        return "{" + blank() + text + "}";
    }
  }

  // One byte taken out or put in.
  std::string mutate(std::string text) {
    static const char bytes[] = "\"[]{},:\\ 0e-.a\x01\xc3\xff";
    const std::size_t at = pick(text.size() + 1);
    if (at < text.size() && pick(2) == 0) return text.erase(at, 1);
    return text.insert(at, 1, bytes[pick(sizeof bytes - 1)]);
  }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

 private:
  // clang-format off
  static constexpr const char* kStringPieces[] = {
      "a", " ", "\\n", "\\\"", "\\\\", "\\/", "\\u0007", "\\u00e9", "\\ud83d\\ude00", "\xc3\xa9",
      "\xe6\x97\xa5", "\x7f", "\\b", "\\u001F"};
  // clang-format on

  std::string blank() { return std::vector<const char*>{"", "", " ", "\n\t ", "\r\n"}[pick(5)]; }

  // Integers of every width, decimals as people write them, and the shortest and longest forms
  // of doubles from all over the range.
  std::string number() {
    std::uint64_t bits = random_();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value) || value == 0) value = 1.25;
    const double small = std::uniform_real_distribution<double>(-1, 1)(random_);
    char text[64];
    const auto form = pick(5);
    if (form == 0)
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(bits) >> pick(64));
    if (form == 1) std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(bits));
    if (form == 2) std::snprintf(text, sizeof text, "%.6f", small);
    if (form == 3) std::snprintf(text, sizeof text, "%.*e", static_cast<int>(pick(18)), value);
    if (form == 4) std::snprintf(text, sizeof text, "%de%d", int(pick(100)), int(pick(80)) - 40);
    return text;
  }

  std::mt19937_64 random_;
};

// Plain decimals of up to 15 digits are copied from the text when the library would write them
// that way: many such decimals lie a hair away from a halfway point between two doubles, where
// the library's search for the shortest digits finds longer ones. Ten to a document: most are
// copied in one pass, the rest (holding a decimal of over 19 digits) written from the parse.
TEST(CompactJson, DecimalsNextToHalfwayPointsAreWrittenAsTheLibraryWritesThem) {
  std::mt19937_64 random(5);
  CompactJson fast;
  for (int document = 0; document < 10000; ++document) {
    std::string text = "[";
    for (int i = 0; i < 10; ++i) {
      const double value = std::exp(std::uniform_real_distribution<double>(-12, 37)(random));
      const long double halfway =
          value + (static_cast<long double>(std::nextafter(value, 1e300)) - value) / 2;
      const int digits = 1 + static_cast<int>(random() % 15);
      char decimal[64];
      std::snprintf(decimal, sizeof decimal, "%.*Lf",
                    std::max(1, digits - 1 - static_cast<int>(std::floor(std::log10(halfway)))),
                    halfway);
      if (i != 0) text += ',';
      text += decimal;
    }
    agrees(fast, text + "]");
  }
}

// Every element the scanner hands out, read in pieces of `piece` bytes into a buffer made for
// 16-byte blocks, so that long elements make it grow.
std::vector<std::string> scan(const std::string& document, std::size_t piece, bool* plain) {
  std::size_t at = 0;
  JsonArrayScanner scanner(
      [&](char* buffer, std::size_t size) {
        const std::size_t n = std::min({size, piece, document.size() - at});
        std::memcpy(buffer, document.data() + at, n);
        at += n;
        return n;
      },
      8, 16);
  std::vector<std::string> elements;
  while (const auto text = scanner.next()) elements.emplace_back(*text);
  scanner.read_to_end();
  *plain = scanner.plain();
  return elements;
}

TEST(JsonArrayScanner, ElementsAndWhetherTheDocumentIsPlain) {
  // clang-format off
  const struct {
    std::string document;
    std::vector<std::string> elements;
    bool plain;
  } rows[] = {
      {"[]", {}, true}, {" \n[ ]\r\n", {}, true},
      {R"([1, "a,]\"", {"b":[2,3]} ,[]])", {"1", R"( "a,]\"")", R"( {"b":[2,3]} )", "[]"}, true},
      {"x[1]", {"1"}, false}, {"\xef\xbb\xbf[1]", {"1"}, false}, {"[1,,2]", {"1", "2"}, false},
      {"[1,]", {"1"}, false}, {"[,1]", {"1"}, false}, {"[1] x", {"1"}, false},
      {"[1] ]", {"1"}, false}, {"[1, 2", {"1"}, false},
      {"[1}, 2]", {}, false},  // a stray closing bracket hides the separators after it
      // Elements nested nine levels deep, and eight, which the scanner is told to allow.
      {"[[[[[[[[[[]]]]]]]]]]", {"[[[[[[[[[]]]]]]]]]"}, false}, {"[[[[[[[[[]]]]]]]]]", {"[[[[[[[[]]]]]]]]"}, true},
  };
  // clang-format on
  for (const auto& row : rows) {
    for (std::size_t piece : {1, 3, 4096}) {
      bool plain = false;
      EXPECT_EQ(scan(row.document, piece, &plain), row.elements) << row.document << " / " << piece;
      EXPECT_EQ(plain, row.plain) << row.document;
    }
  }
}

// Random elements, and each with one byte changed, are written as the library writes them or
// left to it. The fast first pass says yes only to documents the library accepts as arrays, and
// then the elements written one by one are the library's dump of the whole array.
TEST(JsonArrayScanner, RandomDocumentsElementByElementAndWhole) {
  CompactJson fast;
  Documents documents(11);
  int accepted = 0, elements_written = 0, element_count = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string document = "[";
    for (int n = documents.pick(6), e = 0; e < n; ++e) {
      const std::string element = documents.value(3);
      elements_written += agrees(fast, element);
      ++element_count;
      agrees(fast, documents.mutate(element));
      document += (e ? ", " : "") + element;
    }
    document += "]\n";
    if (i % 2) document = documents.mutate(document);
    bool plain = false;
    const auto elements = scan(document, 1 + documents.pick(40), &plain);
    std::vector<std::string> padded;
    bool checked = plain;
    for (const auto& element : elements) {
      padded.push_back(element + std::string(JsonArrayScanner::kPadding, ' '));
      checked = checked && fast.check({padded.back().data(), element.size()});
    }
    if (!checked) continue;
    ++accepted;
    std::string joined = "[";
    for (std::size_t e = 0; e < elements.size(); ++e) {
      if (e > 0) joined += ',';
      const std::size_t mark = joined.size();
      if (!fast.append({padded[e].data(), elements[e].size()}, joined)) {
        joined.resize(mark);
        joined += json::parse(elements[e]).dump();
      }
    }
    const auto expected = library(document);
    ASSERT_TRUE(expected) << document;
    EXPECT_EQ(joined + "]", expected->dump) << document;
  }
  EXPECT_GT(accepted, 900);
  // Negative zeros are the library's (%.6f of a small negative).
  EXPECT_GE(elements_written, element_count * 99 / 100);
}

}  // namespace
}  // namespace rest_client
