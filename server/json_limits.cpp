#include "server/json_limits.h"

#include <algorithm>
#include <cstring>
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

// Where the string starting at `at` (its opening quote) ends: just past its closing quote, or
// npos when the text ends first. A quote is the string's end unless an odd run of backslashes
// comes before it; long strings (an upload's data) are crossed a memchr at a time.
std::size_t string_end(std::string_view text, std::size_t at) {
  for (std::size_t from = at + 1; from < text.size();) {
    const void* quote = std::memchr(text.data() + from, '"', text.size() - from);
    if (quote == nullptr) return std::string_view::npos;
    const auto q = static_cast<std::size_t>(static_cast<const char*>(quote) - text.data());
    std::size_t backslashes = 0;
    while (q - backslashes > at + 1 && text[q - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return q + 1;
    from = q + 1;
  }
  return std::string_view::npos;
}

std::optional<std::size_t> too_deep(std::string_view text, int limit) {
  int depth = 0;
  std::size_t element = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      i = string_end(text, i);
      if (i == std::string_view::npos) break;
      --i;
      continue;
    }
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

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the string starting at `at` (its opening quote) ends: just past its closing quote, or
// npos when the text ends first.

// Just past the value starting at `at`, or npos when the text ends first.
std::size_t value_end(std::string_view text, std::size_t at) {
  if (text[at] == '"') return string_end(text, at);
  if (text[at] != '[' && text[at] != '{') {
    while (at < text.size() && text[at] != ',' && text[at] != '}' && text[at] != ']' &&
           !is_blank(text[at])) {
      ++at;
    }
    return at;
  }
  int depth = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      i = string_end(text, i);
      if (i == std::string_view::npos) return i;
      --i;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> member_span(std::string_view text,
                                                               std::string_view member) {
  std::size_t at = 0;
  while (at < text.size() && is_blank(text[at])) ++at;
  if (at == text.size() || text[at] != '{') return std::nullopt;
  ++at;
  std::optional<std::pair<std::size_t, std::size_t>> found;
  for (;;) {
    while (at < text.size() && (is_blank(text[at]) || text[at] == ',')) ++at;
    if (at >= text.size() || text[at] == '}') return found;
    if (text[at] != '"') return std::nullopt;
    const std::size_t name_end = string_end(text, at);
    if (name_end == std::string_view::npos) return std::nullopt;
    const bool wanted = text.substr(at + 1, name_end - at - 2) == member;
    at = name_end;
    while (at < text.size() && is_blank(text[at])) ++at;
    if (at >= text.size() || text[at] != ':') return std::nullopt;
    ++at;
    while (at < text.size() && is_blank(text[at])) ++at;
    if (at >= text.size()) return std::nullopt;
    const std::size_t end = value_end(text, at);
    if (end == std::string_view::npos) return std::nullopt;
    if (wanted) {
      if (found) return std::nullopt;  // named twice: which one counts is the parser's to say
      found = std::pair{at, end};
    }
    at = end;
  }
}

std::optional<std::pair<std::size_t, std::size_t>> plain_string_member(std::string_view text,
                                                                       std::string_view member) {
  const auto span = member_span(text, member);
  if (!span || text[span->first] != '"') return std::nullopt;
  const std::string_view inside = text.substr(span->first + 1, span->second - span->first - 2);
  if (inside.find('\\') != std::string_view::npos) return std::nullopt;
  return std::pair{span->first + 1, span->second - 1};
}

std::size_t tree_cost(std::string_view text) {
  // Each value is a 16-byte node in a container whose buffer grows by doubling; a container
  // also has its own allocation; an object member is a map node with its key; a string value
  // has its own allocation.
  constexpr std::size_t kValue = 32, kContainer = 64, kMember = 96, kString = 48;
  std::size_t values = 1, containers = 0, members = 0, strings = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '"': {
        ++strings;
        const std::size_t end = string_end(text, i);
        if (end == std::string_view::npos) return text.size() + values * kValue;
        i = end - 1;
        break;
      }
      case '[':
      case '{':
        ++containers;
        break;
      case ',':
        ++values;
        break;
      case ':':
        ++members;
        break;
      default:
        break;
    }
  }
  return text.size() + values * kValue + containers * kContainer + members * kMember +
         strings * kString;
}

}  // namespace orvix_local
