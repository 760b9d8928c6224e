#pragma once
// orvix --completion bash|zsh: a completion script for the user's own shell, made from the
// vocabulary table, so that it offers what the prompt's completion offers: statements, their
// options and fixed values, file paths where a path is expected, and the leading flags with
// profile names read from the config file.

#include <string>

// The script for "bash" or "zsh".
std::string completion_script(const std::string& shell);
