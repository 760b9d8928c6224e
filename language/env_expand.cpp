// A hand-written matcher for \$\{?([A-Za-z_][A-Za-z0-9_]*)\}? : the same matches as that
// pattern, in one linear pass and without recursion, so very long values cannot exhaust the
// stack, and text without a dollar sign is returned untouched.
#include "language/env_expand.h"

#include <cstdlib>

namespace {

bool name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool name_char(char c) {
  return name_start(c) || (c >= '0' && c <= '9');
}

}  // namespace

std::string expand_env_vars(const std::string& text) {
  std::string::size_type dollar = text.find('$');
  if (dollar == std::string::npos) return text;

  std::string out;
  out.reserve(text.size());
  std::string::size_type copied = 0;
  while (dollar != std::string::npos) {
    std::string::size_type name_begin = dollar + 1;
    if (name_begin < text.size() && text[name_begin] == '{' && name_begin + 1 < text.size() &&
        name_start(text[name_begin + 1])) {
      ++name_begin;
    }
    if (name_begin >= text.size() || !name_start(text[name_begin])) {
      dollar = text.find('$', dollar + 1);
      continue;
    }
    std::string::size_type name_end = name_begin + 1;
    while (name_end < text.size() && name_char(text[name_end])) ++name_end;
    std::string::size_type match_end = name_end;
    if (match_end < text.size() && text[match_end] == '}') ++match_end;

    out.append(text, copied, dollar - copied);
    const std::string name = text.substr(name_begin, name_end - name_begin);
    if (const char* value = std::getenv(name.c_str())) {
      out.append(value);
    } else {
      out.append(text, dollar, match_end - dollar);
    }
    copied = match_end;
    dollar = text.find('$', match_end);
  }
  out.append(text, copied, std::string::npos);
  return out;
}
