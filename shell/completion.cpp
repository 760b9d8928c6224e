#include "shell/completion.h"

#include <editline/readline.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "language/vocabulary.h"

namespace {

std::vector<std::string>& current_candidates() {
  static std::vector<std::string> candidates;
  return candidates;
}

char* next_candidate(const char*, int state) {
  static std::size_t index;
  if (state == 0) index = 0;
  if (index >= current_candidates().size()) return nullptr;
  return strdup(current_candidates()[index++].c_str());
}

char** complete(const char* text, int start, int) {
  bool wants_file = false;
  current_candidates() = completion_candidates(
      std::string(rl_line_buffer, static_cast<std::size_t>(start)), text, wants_file);
  if (wants_file) return nullptr;  // the line editor completes file names itself
  rl_attempted_completion_over = 1;
  if (current_candidates().empty()) return nullptr;
  return rl_completion_matches(text, next_candidate);
}

}  // namespace

void install_completion() {
  rl_attempted_completion_function = complete;
}
