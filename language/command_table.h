#pragma once
// The statements, their options and the options' fixed values: what completion offers and
// what the tests hold the help texts to.

#include <string>
#include <vector>

struct StatementEntry {
  const char* keyword;
  std::vector<const char*> options;
  void (*print_help)();
};

const std::vector<StatementEntry>& statement_table();

// Candidates for `word`, the word being typed, given the text of the line before it.
// An empty result with `wants_file` set means a file path is expected there.
std::vector<std::string> completion_candidates(const std::string& before, const std::string& word,
                                               bool& wants_file);
