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
