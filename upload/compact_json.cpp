#include "upload/compact_json.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "client/payload.h"
#include "upload/json_array_scanner.h"

namespace rest_client {

static_assert(simdjson::SIMDJSON_PADDING <= JsonArrayScanner::kPadding);

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

bool finite_as_float(element value) {
  switch (value.type()) {
    case element_type::ARRAY:
      for (element child : simdjson::dom::array(value)) {
        if (!finite_as_float(child)) return false;
      }
      return true;
    case element_type::OBJECT:
      for (auto member : simdjson::dom::object(value)) {
        if (!finite_as_float(member.value)) return false;
      }
      return true;
    case element_type::DOUBLE:
      return std::isfinite(static_cast<float>(double(value)));
    default:
      return true;
  }
}

// The library escapes quotes, backslashes and control characters only (its dump leaves other
// characters as they are); the text is valid UTF-8, so bytes below 0x80 are whole characters.
void append_string(std::string_view text, std::string& out) {
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out += '\\';
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '\b':
        out += 'b';
        break;
      case '\t':
        out += 't';
        break;
      case '\n':
        out += 'n';
        break;
      case '\f':
        out += 'f';
        break;
      case '\r':
        out += 'r';
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char code[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(code, sizeof code);
      }
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

template <class Number>
void append_integer(Number number, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, end);
}

// The numbers of an element's text in document order, as a walk of its parsed value meets them.
class NumberTokens {
 public:
  explicit NumberTokens(std::string_view text)
      : at_(text.data()), end_(text.data() + text.size()) {}
  // Where the next number starts (outside strings).
  const char* next() {
    const char* at = at_;
    while (at < end_) {
      const char c = *at;
      if (c == '-' || (c >= '0' && c <= '9')) break;
      if (c == '"') {
        for (++at; at < end_ && *at != '"'; ++at) {
          if (*at == '\\') ++at;
        }
      }
      ++at;
    }
    return at_ = at;
  }
  // The number starting at `start` goes on to `after` (or, when `after` is null, to the first byte
  // that cannot be part of a number).
  std::string_view take(const char* start, const char* after) {
    if (after == nullptr) {
      after = start;
      while (after < end_ && number_char(*after)) ++after;
    }
    at_ = after;
    return {start, static_cast<std::size_t>(after - start)};
  }
  const char* end() const { return end_; }

 private:
  static bool number_char(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
  }
  const char* at_;
  const char* end_;
};

constexpr auto kPowersOfTen = [] {
  std::array<std::uint64_t, 20> powers{};
  powers[0] = 1;
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * 10;
  return powers;
}();

// A decimal as its text writes it: `digits` / 10^`scale`, with `integer_digits` digits before
// the point.
struct Decimal {
  std::uint64_t digits;
  std::size_t integer_digits, scale;
  bool zero_before_point;  // the integer part is "0"
  bool last_zero;          // the text ends in a zero
};

// Whether the library writes `value`, read from `decimal`, as that very text. Only plain decimals
// of at most 15 significant digits, laid out as the library lays them out, qualify: no other
// decimal of at most 15 digits rounds to the same double, so the library's search for the
// shortest digits in the value's rounding interval finds these, unless the decimal lies within a
// few units of the 64th bit of the interval's ends, which that search narrows by as much. Such
// decimals, found here with exact integer arithmetic, and all other forms are written by the
// library's own code.
bool written_as_is(const Decimal& decimal, double value) {
  const auto& [digits, integer_digits, scale, zero_before_point, last_zero] = decimal;
  if (integer_digits == 0 || integer_digits > 15 || scale == 0 || scale > 18) return false;
  if (zero_before_point) {
    // "0.000ddd": at most three zeros after the point, at most 15 digits, the last not a zero.
    if (integer_digits != 1 || last_zero || digits >= kPowersOfTen[15]) return false;
    if (scale > 3 && digits < kPowersOfTen[scale - 4]) return false;
  } else if (integer_digits + scale > 15 || last_zero) {
    // "123.456" only. A decimal whose value is a whole number ("1234500.0") sits on a halfway
    // point's neighbour exactly, so the check below would refuse it anyway.
    return false;
  }

  // value = mantissa * 2^exponent, a normal double from 1e-4 to 1e15: exponent in [-67, -3].
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>(bits >> 52 & 0x7ff);
  const std::uint64_t mantissa = (bits & ((1ULL << 52) - 1)) | 1ULL << 52;
  const int shift = 1 - (biased - 1075);  // the halfway points are odd multiples of 2^(exponent-1)
  if (biased == 0 || shift < 4 || shift > 68) return false;
  using Wide = unsigned __int128;
  const Wide power = kPowersOfTen[scale];
  // Far enough: more than 2^-58 of the halfway point's size away from it.
  auto clear_of = [](Wide decimal, Wide halfway, bool above) {
    const Wide margin = (halfway >> 58) + 1;
    return above ? decimal > halfway && decimal - halfway > margin
                 : decimal < halfway && halfway - decimal > margin;
  };
  const Wide scaled = static_cast<Wide>(digits) << shift;
  if (!clear_of(scaled, (2 * static_cast<Wide>(mantissa) + 1) * power, false)) return false;
  if ((bits & ((1ULL << 52) - 1)) == 0 && biased > 1) {
    // A power of two: the gap below is half the gap above.
    return clear_of(scaled << 1, (4 * static_cast<Wide>(mantissa) - 1) * power, true);
  }
  return clear_of(scaled, (2 * static_cast<Wide>(mantissa) - 1) * power, true);
}

// A number's text: an optional minus, then the digits of the integer and, after a point when
// there is one, of the fraction, read as one decimal (its digits wrapped when there are too many,
// which every reader refuses).
struct NumberText {
  Decimal decimal;
  bool negative, point, exponent;  // `exponent`: an exponent follows the digits
  const char* end;                 // past the last digit
};

NumberText scan_number(const char* at, const char* const limit) {
  const bool negative = at < limit && *at == '-';
  const char* const integer_begin = at += negative;
  std::uint64_t digits = 0;
  for (; at < limit && *at >= '0' && *at <= '9'; ++at) digits = digits * 10 + (*at - '0');
  const auto integer_digits = static_cast<std::size_t>(at - integer_begin);
  const bool point = at < limit && *at == '.';
  const char* const fraction_begin = at += point;
  for (; at < limit && *at >= '0' && *at <= '9'; ++at) digits = digits * 10 + (*at - '0');
  return {{digits, integer_digits, static_cast<std::size_t>(at - fraction_begin),
           integer_digits != 0 && *integer_begin == '0', at > integer_begin && at[-1] == '0'},
          negative,
          point,
          at < limit && (*at == 'e' || *at == 'E'),
          at};
}

// Where the number text starting at `start` ends, when the library writes `value`, which was read
// from it, as that very text (`written_as_is`); null otherwise.
const char* written_as_read(const char* const start, const char* const limit, double value) {
  const NumberText text = scan_number(start, limit);
  return text.point && !text.exponent && written_as_is(text.decimal, value) ? text.end : nullptr;
}

// Writes the compact form of an element whose objects have their members in strictly increasing
// name order, whose strings hold no escapes, and whose numbers are integers of at most 18 digits
// (but "-0") or decimals without an exponent of at most 19 digits: blanks go, integers and most
// decimals are copied (a decimal's trailing zeros cut), other decimals are written by the
// library's own code. One pass over the text, which it checks as it goes; false for anything
// else, well-formed or not, which the parsing writer below then decides.
class PlainCopy {
 public:
  PlainCopy(std::string_view text, std::string& out)
      : at_(text.data()), end_(at_ + text.size()), target_(out), mark_(out.size()) {
    out.resize(mark_ + text.size());
    out_ = out.data() + mark_;
  }

  // Appends the element's compact form to the string, or leaves it as it was and returns false.
  bool run() {
    const bool copied = copy();
    target_.resize(copied ? static_cast<std::size_t>(out_ - target_.data()) : mark_);
    return copied;
  }

 private:
  bool copy() {
    struct Frame {
      bool object;
      bool named;  // a member's name has been read: `last_name` holds it
      std::string_view last_name;
    };
    std::array<Frame, 64> frames;
    std::size_t depth = 0;
    for (;;) {
      // A value.
      skip_blanks();
      if (at_ == end_) return false;
      const char c = *at_;
      if (c == '{' || c == '[') {
        if (depth == frames.size()) return false;
        frames[depth++] = {c == '{', false, {}};
        *out_++ = *at_++;
        skip_blanks();
        if (at_ < end_ && *at_ == (c == '{' ? '}' : ']')) {
          *out_++ = *at_++;
          --depth;
        } else if (c == '{' && !name(frames[depth - 1])) {
          return false;
        } else {
          continue;
        }
      } else if (c == '"') {
        if (!string()) return false;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        if (!number()) return false;
      } else if (!literal("true") && !literal("false") && !literal("null")) {
        return false;
      }
      // After a value: the next member or element, or the ends of containers.
      for (;;) {
        skip_blanks();
        if (depth == 0) return at_ == end_;
        if (at_ == end_) return false;
        Frame& frame = frames[depth - 1];
        if (*at_ == ',') {
          *out_++ = *at_++;
          if (frame.object && !name(frame)) return false;
          break;
        }
        if (*at_ != (frame.object ? '}' : ']')) return false;
        *out_++ = *at_++;
        --depth;
      }
    }
  }

  void skip_blanks() {
    while (at_ < end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::memcmp(at_, word.data(), word.size()) != 0)
      return false;
    std::memcpy(out_, at_, word.size());
    out_ += word.size();
    at_ += word.size();
    return true;
  }

  // A string without escapes or control characters, copied; its text without the quotes, or
  // nothing when it is not plain.
  std::optional<std::string_view> string() {
    const char* const begin = ++at_;
    bool ascii = true;
    for (; at_ < end_ && *at_ != '"'; ++at_) {
      const auto c = static_cast<unsigned char>(*at_);
      if (c < 0x20 || c == '\\') return {};
      ascii = ascii && c < 0x80;
    }
    if (at_ == end_) return {};
    const std::string_view text(begin, static_cast<std::size_t>(at_ - begin));
    if (!ascii && !simdjson::validate_utf8(text)) return {};
    ++at_;
    *out_++ = '"';
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
    *out_++ = '"';
    return text;
  }

  // A member's name and colon; the names of an object must increase.
  template <class Frame>
  bool name(Frame& frame) {
    skip_blanks();
    if (at_ == end_ || *at_ != '"') return false;
    const auto text = string();
    if (!text || (frame.named && !(frame.last_name < *text))) return false;
    frame.named = true;
    frame.last_name = *text;
    skip_blanks();
    if (at_ == end_ || *at_ != ':') return false;
    *out_++ = *at_++;
    return true;
  }

  bool number() {
    const char* const start = at_;
    NumberText text = scan_number(at_, end_);
    Decimal& decimal = text.decimal;
    at_ = text.end;
    if (decimal.integer_digits == 0 || decimal.integer_digits > 18 ||
        (decimal.zero_before_point && decimal.integer_digits > 1) || text.exponent) {
      return false;
    }
    const char* end = at_;
    if (text.point) {
      if (decimal.scale == 0 || decimal.integer_digits + decimal.scale > 19 ||
          decimal.digits >= (1ULL << 53)) {
        return false;
      }
      // Both are exact as doubles (10^18 is 2^18 * 5^18, and 5^18 < 2^53), so the quotient is
      // the decimal correctly rounded.
      const double value =
          (text.negative ? -1.0 : 1.0) *
          (static_cast<double>(decimal.digits) / static_cast<double>(kPowersOfTen[decimal.scale]));
      // The same decimal without its trailing zeros (one is kept after the point).
      for (; decimal.scale > 1 && end[-1] == '0'; --end, --decimal.scale) decimal.digits /= 10;
      decimal.last_zero = end[-1] == '0';
      if (!written_as_is(decimal, value)) {
        // The output has room for the rest of the text; the number may need more than its own.
        const std::size_t used = static_cast<std::size_t>(out_ - target_.data());
        const std::size_t room = used + kJsonNumberRoom + static_cast<std::size_t>(end_ - at_);
        if (room > target_.size()) {
          target_.resize(room + 4 * kJsonNumberRoom);  // a little more: resize fills it
          out_ = target_.data() + used;
        }
        out_ = write_json_number(value, out_);
        return true;
      }
    } else if (text.negative && decimal.digits == 0) {
      return false;  // "-0" is the integer 0 to the library
    }
    std::memcpy(out_, start, static_cast<std::size_t>(end - start));
    out_ += end - start;
    return true;
  }

  const char* at_;
  const char* const end_;
  std::string& target_;
  const std::size_t mark_;
  char* out_;
};

// A member of an object being written: its name, and where "name":value stands in the output.
struct Member {
  std::string_view name;
  std::size_t begin, end;
};

// Writes a parsed element as the library dumps it. The walk follows the document's order (an
// object's members are put in name order after they are written), so that each number is met
// together with its own text.
class Writer {
 public:
  // `members` is scratch space, kept by the caller from one element to the next.
  Writer(std::string_view text, std::string& out, std::vector<Member>& members)
      : numbers_(text), out_(out), members_(members) {
    members_.clear();
  }

  bool value(element value) {
    switch (value.type()) {
      case element_type::ARRAY: {
        out_ += '[';
        bool first = true;
        for (element child : simdjson::dom::array(value)) {
          if (!first) out_ += ',';
          first = false;
          if (!this->value(child)) return false;
        }
        out_ += ']';
        return true;
      }
      case element_type::OBJECT:
        return object(simdjson::dom::object(value));
      case element_type::STRING:
        append_string(std::string_view(value), out_);
        return true;
      case element_type::INT64:
        numbers_.take(numbers_.next(), nullptr);
        append_integer(int64_t(value), out_);
        return true;
      case element_type::UINT64:
        numbers_.take(numbers_.next(), nullptr);
        append_integer(uint64_t(value), out_);
        return true;
      case element_type::DOUBLE: {
        const double number = double(value);
        // "-0" is the integer 0 to the library and "-0.0" a float: the parsed value cannot tell.
        if (number == 0 && std::signbit(number)) return false;
        const char* start = numbers_.next();
        const char* read_to = written_as_read(start, numbers_.end(), number);
        const std::string_view token = numbers_.take(start, read_to);
        if (read_to != nullptr) {
          out_ += token;
          return true;
        }
        append_json_number(number, out_);
        return true;
      }
      case element_type::BOOL:
        out_ += bool(value) ? "true" : "false";
        return true;
      case element_type::NULL_VALUE:
        out_ += "null";
        return true;
    }
    return false;
  }

 private:
  // The library keeps members in a map: sorted by name, a repeated name holding its last value.
  // Each object's members take the end of `members_` while it is written; nested objects take
  // theirs after them and give them back.
  bool object(simdjson::dom::object object) {
    const std::size_t base = members_.size();
    out_ += '{';
    const std::size_t start = out_.size();
    for (auto member : object) {
      if (members_.size() > base) out_ += ',';
      const std::size_t begin = out_.size();
      append_string(member.key, out_);
      out_ += ':';
      if (!value(member.value)) return false;
      members_.push_back({member.key, begin, out_.size()});
    }
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
    const auto before = [](const Member& a, const Member& b) { return a.name < b.name; };
    if (!std::is_sorted(first, members_.end(), before) ||
        std::adjacent_find(first, members_.end(), [](const auto& a, const auto& b) {
          return a.name == b.name;
        }) != members_.end()) {
      const std::string written = out_.substr(start);
      std::stable_sort(first, members_.end(), before);
      out_.resize(start);
      for (auto m = first; m != members_.end(); ++m) {
        if (m + 1 != members_.end() && (m + 1)->name == m->name) continue;
        if (out_.size() > start) out_ += ',';
        out_.append(written, m->begin - start, m->end - m->begin);
      }
    }
    members_.resize(base);
    out_ += '}';
    return true;
  }

  NumberTokens numbers_;
  std::string& out_;
  std::vector<Member>& members_;
};

}  // namespace

struct CompactJson::Parser {
  simdjson::dom::parser parser;
  std::vector<Member> members;
};

CompactJson::CompactJson() : parser_(std::make_unique<Parser>()) {}
CompactJson::~CompactJson() = default;

bool CompactJson::check(std::string_view text) {
  element root;
  if (parser_->parser.parse(text.data(), text.size(), false).get(root) != simdjson::SUCCESS) {
    return false;
  }
  return finite_as_float(root);
}

bool CompactJson::append(std::string_view text, std::string& out) {
  if (PlainCopy(text, out).run()) return true;
  element root;
  if (parser_->parser.parse(text.data(), text.size(), false).get(root) != simdjson::SUCCESS) {
    return false;
  }
  return Writer(text, out, parser_->members).value(root);
}

}  // namespace rest_client
