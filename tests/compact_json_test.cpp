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

enum Fast { kWrites, kLeaves, kEither };

TEST(CompactJson, EdgeCasesAreWrittenAsTheLibraryWritesThem) {
  const struct {
    std::string text;
    Fast fast;
  } rows[] = {
      {"-0.0", kLeaves},
      {"-0", kEither},
      {"0", kWrites},
      {"5e-324", kWrites},
      {"1e308", kWrites},
      {"1.7976931348623157e308", kWrites},
      {"2.2250738585072014e-308", kWrites},
      {"1e-7", kWrites},
      {"-1.5E+3", kWrites},
      {"0.000001", kWrites},
      {"100000.0", kWrites},
      {"1e16", kWrites},
      {"0.1", kWrites},
      {"3.4028236e38", kWrites},  // finite as a double, not as a float
      {"9007199254740993", kWrites},
      {"18446744073709551615", kWrites},
      {"-9223372036854775808", kWrites},
      {"18446744073709551616", kEither},
      {"-9223372036854775809", kEither},
      {"123456789012345678901234567890", kEither},
      {"1E400", kEither},
      {"[]", kWrites},
      {"{}", kWrites},
      {" [ [ ] , { } ] ", kWrites},
      {R"({"b":1,"a":2,"B":3})", kWrites},
      {R"({"a":1,"a":2})", kWrites},
      {R"({"a":{"c":1,"b":2},"x":null,"a":[3,true,false]})", kWrites},
      {"{\"\xc3\xa9\":1,\"z\":2,\"\":3}", kWrites},
      {R"("\u0000\u001f\u007f\b\f\n\r\t\"\\\/")", kWrites},
      {R"("\ud83d\ude00 \u00e9")", kWrites},
      {"\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\"", kWrites},
      {R"({"\n":"\u0001"})", kWrites},
      {R"("\ud800")", kLeaves},
      {R"("\udc00\ud800")", kLeaves},
      {"\"\xff\"", kLeaves},
      {"\"\xc3\"", kLeaves},
      {"\"a\x01z\"", kLeaves},
      {"[1,]", kLeaves},
      {R"({"a"})", kLeaves},
      {"01", kLeaves},
      {"1.", kLeaves},
      {"tru", kLeaves},
      {"\"abc", kLeaves},
      {"[1 2]", kLeaves},
      {"1 2", kLeaves},
      {"", kLeaves},
      {"NaN", kLeaves},
  };
  CompactJson fast;
  for (const auto& row : rows) {
    const bool written = agrees(fast, row.text);
    EXPECT_TRUE(row.fast == kEither || written == (row.fast == kWrites)) << row.text;
  }
}

// Random documents in the shapes uploads hold, with every kind of number and string.
class Documents {
 public:
  explicit Documents(unsigned seed) : random_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 0 ? 8 : 5)) {
      case 0: return number();
      case 1: return string();
      case 2: return std::vector<const char*>{"true", "false", "null"}[pick(3)];
      case 3: case 4: return number();
      case 5: case 6: {
        std::string text = "[" + blank();
        for (int n = pick(5), i = 0; i < n; ++i) text += (i ? "," : "") + value(depth - 1) + blank();
        return text + "]";
      }
      default: {
        std::string text = "{" + blank();
        for (int n = pick(5), i = 0; i < n; ++i) {
          static const char* keys[] = {"\"a\"", "\"b\"", "\"id\"", "\"v\"", "\"\\u00e9\"", "\"\"", "\"A\""};
          text += (i ? "," : "") + std::string(keys[pick(7)]) + blank() + ":" + value(depth - 1);
        }
        return text + "}";
      }
    }
  }

  std::string mutate(std::string text) {
    static const char bytes[] = "\"[]{},:\\ 0e-.a\x01\xc3\xff";
    if (text.empty()) return text;
    const std::size_t at = pick(static_cast<int>(text.size()));
    switch (pick(3)) {
      case 0: text[at] = bytes[pick(sizeof bytes - 1)]; break;
      case 1: text.erase(at, 1); break;
      default: text.insert(at, 1, bytes[pick(sizeof bytes - 1)]);
    }
    return text;
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

 private:
  std::string blank() { return std::vector<const char*>{"", "", " ", "\n\t ", "\r\n"}[pick(5)]; }

  std::string number() {
    char text[64];
    switch (pick(6)) {
      case 0: std::snprintf(text, sizeof text, "%lld", static_cast<long long>(random_()) - (1LL << 31) * pick(3)); break;
      case 1: std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(random_()) << 32 | random_()); break;
      case 2: std::snprintf(text, sizeof text, "%.6f", std::uniform_real_distribution<double>(-1, 1)(random_)); break;
      case 3: std::snprintf(text, sizeof text, "%.17g", std::uniform_real_distribution<double>(-1e6, 1e6)(random_)); break;
      case 4: {
        std::uint64_t bits = static_cast<std::uint64_t>(random_()) << 32 | random_();
        double number;
        std::memcpy(&number, &bits, sizeof number);
        if (!std::isfinite(number) || number == 0) number = 1.25;
        std::snprintf(text, sizeof text, "%.*e", pick(18), number);
        break;
      }
      default: std::snprintf(text, sizeof text, "%de%d", pick(100), pick(80) - 40);
    }
    return text;
  }

  std::string string() {
    static const char* pieces[] = {"a", "Z", " ", "\\n", "\\\"", "\\\\", "\\/", "\\u0007", "\\u00e9", "\\ud83d\\ude00",
                                   "\xc3\xa9", "\xe6\x97\xa5", "\x7f", "\\b", "\\u001F"};
    std::string text = "\"";
    for (int n = pick(6), i = 0; i < n; ++i) text += pieces[pick(15)];
    return text + "\"";
  }

  std::mt19937 random_;
};

TEST(CompactJson, RandomDocumentsAndTheirMutations) {
  CompactJson fast;
  Documents documents(7);
  int written = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = documents.value(4);
    written += agrees(fast, text);
    agrees(fast, documents.mutate(text));
  }
  EXPECT_GE(written, 2990);  // negative zeros are the library's (%.6f of a small negative)
}

// Every element the scanner hands out, read in pieces of `piece` bytes.
std::vector<std::string> scan(const std::string& document, std::size_t piece, bool* plain) {
  std::size_t at = 0;
  JsonArrayScanner scanner(
      [&](char* buffer, std::size_t size) {
        const std::size_t n = std::min({size, piece, document.size() - at});
        std::memcpy(buffer, document.data() + at, n);
        at += n;
        return n;
      },
      8);
  std::vector<std::string> elements;
  while (const auto text = scanner.next()) elements.emplace_back(*text);
  scanner.read_to_end();
  *plain = scanner.plain();
  return elements;
}

TEST(JsonArrayScanner, ElementsAndWhetherTheDocumentIsPlain) {
  const struct {
    std::string document;
    std::vector<std::string> elements;
    bool plain;
  } rows[] = {
      {"[]", {}, true},
      {" \n[ ]\r\n", {}, true},
      {R"([1, "a,]\"", {"b":[2,3]} ,[]])", {"1", R"( "a,]\"")", R"( {"b":[2,3]} )", "[]"}, true},
      {"x[1]", {"1"}, false},
      {"\xef\xbb\xbf[1]", {"1"}, false},
      {"[1,,2]", {"1", "2"}, false},
      {"[1,]", {"1"}, false},
      {"[,1]", {"1"}, false},
      {"[1] x", {"1"}, false},
      {"[1] ]", {"1"}, false},
      {"[1, 2", {"1"}, false},
      {"[1}, 2]", {}, false},  // a stray closing bracket hides the separators after it
      // Elements nested nine levels deep, and eight, which the scanner is told to allow.
      {"[" + std::string(9, '[') + std::string(9, ']') + "]", {std::string(9, '[') + std::string(9, ']')}, false},
      {"[" + std::string(8, '[') + std::string(8, ']') + "]", {std::string(8, '[') + std::string(8, ']')}, true},
  };
  for (const auto& row : rows) {
    for (std::size_t piece : {1, 3, 4096}) {
      bool plain = false;
      EXPECT_EQ(scan(row.document, piece, &plain), row.elements) << row.document << " / " << piece;
      EXPECT_EQ(plain, row.plain) << row.document;
    }
  }
}

// The fast first pass says yes only to documents the library accepts as arrays, and then the
// elements written one by one are the library's dump of the whole array.
TEST(JsonArrayScanner, PlainDocumentsOfCheckedElementsAreArraysTheLibraryAccepts) {
  CompactJson fast;
  Documents documents(11);
  int accepted = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string document = "[";
    for (int n = documents.pick(6), e = 0; e < n; ++e) document += (e ? ", " : "") + documents.value(2);
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
}

}  // namespace
}  // namespace rest_client
