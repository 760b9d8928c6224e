#include "upload/compact_json.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

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

bool append_value(element value, std::string& out);

bool append_object(simdjson::dom::object object, std::string& out) {
  // The library keeps members in a map: sorted by name, a repeated name holding its last value.
  std::vector<std::pair<std::string_view, element>> members;
  for (auto member : object) members.emplace_back(member.key, member.value);
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  out += '{';
  bool first = true;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (!first) out += ',';
    first = false;
    append_string(members[i].first, out);
    out += ':';
    if (!append_value(members[i].second, out)) return false;
  }
  out += '}';
  return true;
}

bool append_value(element value, std::string& out) {
  switch (value.type()) {
    case element_type::ARRAY: {
      out += '[';
      bool first = true;
      for (element child : simdjson::dom::array(value)) {
        if (!first) out += ',';
        first = false;
        if (!append_value(child, out)) return false;
      }
      out += ']';
      return true;
    }
    case element_type::OBJECT:
      return append_object(simdjson::dom::object(value), out);
    case element_type::STRING:
      append_string(std::string_view(value), out);
      return true;
    case element_type::INT64:
      append_integer(int64_t(value), out);
      return true;
    case element_type::UINT64:
      append_integer(uint64_t(value), out);
      return true;
    case element_type::DOUBLE: {
      const double number = double(value);
      // "-0" is the integer 0 to the library and "-0.0" a float: the parsed value cannot tell.
      if (number == 0 && std::signbit(number)) return false;
      char digits[64];
      const char* end = nlohmann::detail::to_chars(digits, digits + sizeof digits, number);
      out.append(digits, static_cast<std::size_t>(end - digits));
      return true;
    }
    case element_type::BOOL:
      out += bool(value) ? "true" : "false";
      return true;
    case element_type::NULL_VALUE:
      out += "null";
      return true;
  }
  return false;
}

}  // namespace

struct CompactJson::Parser {
  simdjson::dom::parser parser;
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
  element root;
  if (parser_->parser.parse(text.data(), text.size(), false).get(root) != simdjson::SUCCESS) {
    return false;
  }
  return append_value(root, out);
}

}  // namespace rest_client
