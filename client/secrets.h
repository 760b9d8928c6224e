#pragma once
// API keys the user gave. They are hidden from everything the client writes to standard output
// and standard error, and never enter the line-editing history.

#include <ostream>
#include <string>

namespace rest_client {

// How a hidden key is shown.
inline constexpr const char* kHiddenSecret = "********";

// Hides a key of any length from now on, as given and in every spelling a service echoing it
// inside JSON text could use: each character as itself or in any JSON escape (\u in either case,
// \/ for a slash, the short escapes), escaped once or twice.
void add_secret(const std::string& secret);
// True when the text holds a secret.
bool holds_secret(const std::string& text);
// The text with every secret replaced by kHiddenSecret.
std::string hide_secrets(std::string text);

// From now on, std::cout and std::cerr (and `also`, when given) hide secrets, line by line and at
// each flush.
void hide_secrets_in_output(std::ostream* also = nullptr);

}  // namespace rest_client
