#include "upload/vector_files.h"

#include "client/limits.h"
#include "upload/input_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace rest_client {
namespace {

// NumPy itself refuses headers past 10,000 bytes unless told otherwise; this one is generous.
using limits::kLongestNpyHeader;
// The largest dimension taken from a file's own words.
using limits::kLargestDim;

std::uint64_t little_endian(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The header's text shown in an error: printable ASCII only, and not too much of it.
std::string header_text(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 80)) out += c >= 0x20 && c < 0x7f ? c : '?';
  return text.size() > 80 ? out + "..." : out;
}

// One value of the header's dictionary: a string, True or False, a tuple of integers, or
// anything else (kept as its text, to be named in an error).
struct HeaderValue {
  enum class Kind { kString, kBool, kTuple, kOther } kind = Kind::kOther;
  std::string text;
  bool flag = false;
  std::vector<std::uint64_t> numbers;
};

// The Python dictionary literal NumPy writes: {'descr': '<f4', 'fortran_order': False,
// 'shape': (1000, 128), }.
class HeaderParser {
 public:
  explicit HeaderParser(std::string_view text) : text_(text) {}

  std::map<std::string, HeaderValue> dictionary() {
    expect('{');
    std::map<std::string, HeaderValue> members;
    for (;;) {
      skip_blanks();
      if (peek() == '}') break;
      const std::string key = quoted();
      expect(':');
      members[key] = value();
      skip_blanks();
      if (peek() == ',') {
        ++at_;
      } else if (peek() != '}') {
        fail();
      }
    }
    return members;
  }

 private:
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  void skip_blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  [[noreturn]] void fail() const {
    throw std::invalid_argument("its header is not the dictionary NumPy writes: \"" +
                                header_text(text_) + "\"");
  }
  void expect(char c) {
    skip_blanks();
    if (peek() != c) fail();
    ++at_;
  }
  std::string quoted() {
    skip_blanks();
    const char quote = peek();
    if (quote != '\'' && quote != '"') fail();
    const auto end = text_.find(quote, at_ + 1);
    if (end == std::string_view::npos) fail();
    std::string out(text_.substr(at_ + 1, end - at_ - 1));
    at_ = end + 1;
    return out;
  }
  HeaderValue value() {
    skip_blanks();
    HeaderValue value;
    const std::size_t begin = at_;
    if (peek() == '\'' || peek() == '"') {
      value.kind = HeaderValue::Kind::kString;
      value.text = quoted();
    } else if (text_.substr(at_, 4) == "True" || text_.substr(at_, 5) == "False") {
      value.kind = HeaderValue::Kind::kBool;
      value.flag = text_[at_] == 'T';
      at_ += value.flag ? 4 : 5;
    } else if (peek() == '(') {
      value.kind = HeaderValue::Kind::kTuple;
      ++at_;
      for (;;) {
        skip_blanks();
        if (peek() == ')') break;
        std::uint64_t number = 0;
        const std::size_t digits = at_;
        while (peek() >= '0' && peek() <= '9') {
          if (number > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) fail();
          number = number * 10 + static_cast<std::uint64_t>(peek() - '0');
          ++at_;
        }
        if (at_ == digits) fail();
        if (peek() == 'L') ++at_;  // written by Python 2
        value.numbers.push_back(number);
        skip_blanks();
        if (peek() == ',') {
          ++at_;
        } else if (peek() != ')') {
          fail();
        }
      }
      ++at_;
    } else {
      // A list (a structured dtype) or anything else: up to the brackets' balance and a comma.
      int depth = 0;
      for (; at_ < text_.size(); ++at_) {
        const char c = text_[at_];
        if (c == '[' || c == '(' || c == '{') ++depth;
        if (c == ']' || c == ')' || c == '}') {
          if (depth == 0) break;
          --depth;
        }
        if (c == ',' && depth == 0) break;
      }
    }
    if (value.kind != HeaderValue::Kind::kString) {
      value.text = std::string(text_.substr(begin, at_ - begin));
    }
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

VectorFileLayout npy_layout(InputFile& file) {
  unsigned char lead[12] = {};
  const std::size_t got = file.read(reinterpret_cast<char*>(lead), sizeof lead);
  if (got < 10 || std::memcmp(lead, "\x93NUMPY", 6) != 0) {
    throw std::invalid_argument("it does not begin as a NumPy .npy file does");
  }
  const int major = lead[6];
  if (major < 1 || major > 3) {
    throw std::invalid_argument("it is a NumPy file of format version " + std::to_string(major) +
                                "." + std::to_string(lead[7]) + "; versions 1 to 3 are read");
  }
  const int length_bytes = major == 1 ? 2 : 4;
  if (got < static_cast<std::size_t>(8 + length_bytes)) {
    throw std::invalid_argument("its header is cut short");
  }
  const std::uint64_t header_length = little_endian(lead + 8, length_bytes);
  if (header_length > kLongestNpyHeader) {
    throw std::invalid_argument("its header says it is " + std::to_string(header_length) +
                                " bytes long, more than the " +
                                std::to_string(kLongestNpyHeader >> 20) + " MiB read");
  }
  VectorFileLayout layout;
  layout.data_offset = 8 + static_cast<std::uint64_t>(length_bytes) + header_length;
  // The lead's last bytes may be the header's first.
  std::string header(reinterpret_cast<const char*>(lead) + 8 + length_bytes,
                     got - 8 - static_cast<std::size_t>(length_bytes));
  if (header.size() > header_length) header.resize(header_length);
  const std::size_t known = header.size();
  header.resize(header_length);
  if (file.read(header.data() + known, header.size() - known) != header.size() - known) {
    throw std::invalid_argument("its header is cut short");
  }
  while (!header.empty() && (header.back() == '\n' || header.back() == ' ')) header.pop_back();
  const auto members = HeaderParser(header).dictionary();
  const auto member = [&members, &header](const char* name, HeaderValue::Kind kind) {
    const auto found = members.find(name);
    if (found == members.end() || found->second.kind != kind) {
      throw std::invalid_argument("its header has no usable '" + std::string(name) + "': \"" +
                                  header_text(header) + "\"");
    }
    return found->second;
  };
  if (const auto descr = members.find("descr");
      descr != members.end() && descr->second.kind != HeaderValue::Kind::kString) {
    throw std::invalid_argument("its values are a structured dtype (" +
                                header_text(descr->second.text) +
                                "); a 2-D array of float32, float64, float16 or uint8 is read");
  }
  const std::string descr = member("descr", HeaderValue::Kind::kString).text;
  if (member("fortran_order", HeaderValue::Kind::kBool).flag) {
    throw std::invalid_argument(
        "its array is in Fortran order; save it in C order "
        "(numpy.ascontiguousarray)");
  }
  const auto shape = member("shape", HeaderValue::Kind::kTuple).numbers;
  static const std::map<std::string, StoredValue> kTypes = {{"<f4", StoredValue::kFloat32},
                                                            {"<f8", StoredValue::kFloat64},
                                                            {"<f2", StoredValue::kFloat16},
                                                            {"|u1", StoredValue::kUint8},
                                                            {"<u1", StoredValue::kUint8}};
  const auto type = kTypes.find(descr);
  if (type == kTypes.end()) {
    const bool big_endian = !descr.empty() && descr.front() == '>';
    throw std::invalid_argument("its values are of dtype '" + header_text(descr) + "'" +
                                (big_endian ? " (big-endian)" : "") +
                                "; float32, float64, float16 (little-endian) or uint8 is read");
  }
  layout.stored = type->second;
  if (shape.size() != 2) {
    throw std::invalid_argument("its array has " + std::to_string(shape.size()) +
                                " dimension(s); a 2-D array (vectors x values) is read");
  }
  if (shape[1] == 0 || shape[1] > kLargestDim) {
    throw std::invalid_argument("its vectors have " + std::to_string(shape[1]) +
                                " values; from 1 to " + std::to_string(kLargestDim) + " are read");
  }
  layout.dim = static_cast<std::size_t>(shape[1]);
  layout.vectors = shape[0];
  const std::uint64_t size = file.size_at_open();
  const std::uint64_t data = size >= layout.data_offset ? size - layout.data_offset : 0;
  if (layout.vectors > data / layout.file_record() ||
      layout.vectors * layout.file_record() != data) {
    throw std::invalid_argument("its header says " + std::to_string(layout.vectors) + " x " +
                                std::to_string(layout.dim) + " values, but it holds " +
                                std::to_string(data) + " bytes of data");
  }
  return layout;
}

VectorFileLayout vecs_layout(InputFile& file, bool floats) {
  VectorFileLayout layout;
  layout.stored = floats ? StoredValue::kFloat32 : StoredValue::kUint8;
  layout.dim_prefix = true;
  unsigned char lead[4] = {};
  if (file.read(reinterpret_cast<char*>(lead), 4) != 4) {
    throw std::invalid_argument("it is too short to hold a vector");
  }
  const auto dim = static_cast<std::int32_t>(little_endian(lead, 4));
  if (dim <= 0 || static_cast<std::uint64_t>(dim) > kLargestDim) {
    throw std::invalid_argument("its first vector's dimension is " + std::to_string(dim) +
                                "; from 1 to " + std::to_string(kLargestDim) + " are read");
  }
  layout.dim = static_cast<std::size_t>(dim);
  layout.vectors = file.size_at_open() / layout.file_record();
  return layout;
}

float half_to_float(std::uint16_t half) {
  const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
  std::uint32_t exponent = (half >> 10) & 0x1fu;
  std::uint32_t mantissa = half & 0x3ffu;
  std::uint32_t bits;
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | (mantissa << 13);  // infinity or NaN
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // A subnormal half is a normal float: shift its mantissa up to the implicit bit.
    exponent = 113;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --exponent;
    }
    bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
  }
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

std::size_t VectorFileLayout::value_bytes() const {
  switch (stored) {
    case StoredValue::kFloat64:
      return 8;
    case StoredValue::kFloat16:
      return 2;
    case StoredValue::kUint8:
      return 1;
    case StoredValue::kFloat32:
      break;
  }
  return 4;
}

VectorFileLayout read_vector_file_layout(InputFile& file, const std::string& format) {
  file.start_at(0, nullptr, false);
  const std::string& path = file.path();
  try {
    if (format == "npy") return npy_layout(file);
    return vecs_layout(file, format == "fvecs");
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("'" + path + "' cannot be sent as a ." + format +
                                " file: " + e.what());
  }
}

void widen_values(const VectorFileLayout& layout, const char* values, float* out) {
  for (std::size_t i = 0; i < layout.dim; ++i) {
    if (layout.stored == StoredValue::kFloat64) {
      double value;
      std::memcpy(&value, values + 8 * i, 8);
      // Beyond what rounds to the largest float the cast itself is undefined: such a value is
      // an infinity, which the reader refuses.
      constexpr double kRoundsToAFloat =
          static_cast<double>(std::numeric_limits<float>::max()) + 0x1p103;
      out[i] = std::fabs(value) < kRoundsToAFloat || std::isnan(value)
                   ? static_cast<float>(value)
                   : std::copysign(std::numeric_limits<float>::infinity(), value);
    } else {
      std::uint16_t half;
      std::memcpy(&half, values + 2 * i, 2);
      out[i] = half_to_float(half);
    }
  }
}

}  // namespace rest_client
