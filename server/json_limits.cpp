#include "server/json_limits.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orvix_local {
namespace {

// Follows a JSON text byte by byte far enough to tell which bytes lie inside strings.
class StringTracker {
 public:
  // True when `c` belongs to a string (its quotes included).
  bool inside(char c) {
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        in_string_ = false;
      }
      return true;
    }
    in_string_ = c == '"';
    return in_string_;
  }

 private:
  bool in_string_ = false, escaped_ = false;
};

}  // namespace

std::optional<std::size_t> too_deep(std::string_view text, int limit) {
  int depth = 0;
  StringTracker strings;
  std::size_t element = 1;
  for (const char c : text) {
    if (strings.inside(c)) continue;
    switch (c) {
      case '[':
      case '{':
        if (++depth > limit) return element;
        break;
      case ']':
      case '}':
        --depth;
        break;
      case ',':
        if (depth == 1) ++element;
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

}  // namespace orvix_local

namespace orvix_local {

std::vector<std::string_view> array_elements(std::string_view text, int max_depth,
                                             std::size_t max_element_bytes) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t at = 0;
  while (at < text.size() && is_space(text[at])) ++at;
  if (at == text.size() || text[at] != '[')
    throw std::runtime_error("the JSON shard is not an array");
  std::vector<std::string_view> elements;
  int depth = 1;
  StringTracker strings;
  std::size_t start = ++at;
  auto close_element = [&](std::size_t end) {
    const std::string_view element = text.substr(start, end - start);
    const std::string element_name = "element " + std::to_string(elements.size() + 1);
    if (element.size() > max_element_bytes) {
      throw std::runtime_error(element_name + " is larger than " +
                               std::to_string(max_element_bytes) + " bytes");
    }
    elements.push_back(element);
    start = end + 1;
  };
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (strings.inside(c)) continue;
    if (c == '[' || c == '{') {
      if (++depth > max_depth + 1) {
        throw std::runtime_error("element " + std::to_string(elements.size() + 1) +
                                 " is nested deeper than " + std::to_string(max_depth) + " levels");
      }
    } else if (c == ']' || c == '}') {
      if (--depth == 0) break;
    } else if (c == ',' && depth == 1) {
      close_element(at);
    }
  }
  if (depth != 0) throw std::runtime_error("the JSON shard ends inside its array");
  close_element(at);
  // "[]" and "[ ]" hold no element.
  if (elements.size() == 1 && std::all_of(elements[0].begin(), elements[0].end(), is_space)) {
    elements.clear();
  }
  for (std::size_t rest = at + 1; rest < text.size(); ++rest) {
    if (!is_space(text[rest])) throw std::runtime_error("the JSON shard has text after its array");
  }
  return elements;
}

}  // namespace orvix_local

namespace orvix_local {

std::optional<std::pair<std::size_t, std::size_t>> plain_string_member(std::string_view text,
                                                                       std::string_view member) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::optional<std::pair<std::size_t, std::size_t>> found;
  int depth = 0;
  bool expect_key = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '"') {
      // A string: find its end, noting whether it is the member's name.
      std::size_t end = at + 1;
      while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
      if (end >= text.size()) return std::nullopt;
      const bool is_member =
          depth == 1 && expect_key && text.substr(at + 1, end - at - 1) == member;
      expect_key = false;
      at = end;
      if (!is_member) continue;
      std::size_t value = end + 1;
      while (value < text.size() && is_space(text[value])) ++value;
      if (value >= text.size() || text[value] != ':') return std::nullopt;
      ++value;
      while (value < text.size() && is_space(text[value])) ++value;
      if (value >= text.size() || text[value] != '"' || found) return std::nullopt;
      const std::size_t close = text.find_first_of("\"\\", value + 1);
      if (close == std::string_view::npos || text[close] != '"') return std::nullopt;
      found = std::pair{value + 1, close};
      at = close;
    } else if (c == '{' || c == '[') {
      ++depth;
      expect_key = c == '{' && depth == 1;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 1) {
      expect_key = true;
    }
  }
  return found;
}

}  // namespace orvix_local
