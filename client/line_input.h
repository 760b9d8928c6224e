#pragma once
// Reading lines from the user. On a terminal the statement and key prompts use line editing
// (libedit); otherwise every line, statements and answers alike, comes from one buffered
// standard-input stream so that a piped script with its answers runs in order.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "client/limits.h"

namespace rest_client {

bool stdin_is_terminal();

// The longest line read from a pipe or file: a longer one is read to its end and dropped.
using limits::kLongestInputLine;
struct LineTooLong : std::length_error {
  LineTooLong()
      : std::length_error(
            "A line longer than 256 MiB was skipped (UPLOAD sends data files of "
            "any size)") {}
};

// A prompted line: line editing on a terminal; without one, the prompt is written only when
// `prompt_when_piped` is set and the line is read from standard input. nullopt at end of input.
std::optional<std::string> read_prompted_line(const std::string& prompt, bool prompt_when_piped);

// A prompted line that is not shown as it is typed (the API key); piped, as read_prompted_line
// with the prompt written.
std::optional<std::string> read_secret_line(const std::string& prompt);

// Adds a statement to the line-editing history, unless it holds a secret.
void add_history_line(const std::string& line);

// One whole line of standard input (answers to questions); nullopt at end of input.
std::optional<std::string> read_answer_line();

// Drops what was read ahead of the lines given out, for a caller that has just put another buffer
// in std::cin's place (or put the old one back).
void forget_read_ahead();

// Asks a yes/no question; only "y" or "Y" confirms, and anything else or the end of input
// prints `cancelled_text`.
bool confirmed(const std::string& question, const char* cancelled_text);

}  // namespace rest_client
