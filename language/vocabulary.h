#pragma once
// The command language's vocabulary: every statement keyword with its arguments, options and
// help text, and every option with its fixed values. This one table drives the scanner's
// reserved words, HELP and STATEMENT -h, and completion at the prompt.

#include <string>
#include <string_view>
#include <vector>

struct ArgumentDef {
  const char* name;
  std::vector<const char*> values = {};  // the fixed values completion offers
  bool file = false;                     // a file path is expected here
  bool optional = false;                 // the statement is whole without it (the last only)
};

struct StatementDef {
  const char* keyword;
  int token;  // the grammar's token for the keyword
  std::vector<ArgumentDef> arguments;
  std::vector<const char*> options;  // as typed, "--name"
  std::vector<const char*> help;     // the lines STATEMENT -h prints
};

struct OptionDef {
  const char* name;  // without dashes; typed as -name or --name
  int token;
  std::vector<const char*> values = {};
  bool file = false;
};

const std::vector<StatementDef>& statement_table();
const std::vector<OptionDef>& option_table();

// The grammar's token for a reserved word (a statement keyword, an option, -h, help; any
// case), or 0 when `word` is an ordinary word. `statement` is set for statement keywords.
int reserved_word_token(std::string_view word, const StatementDef** statement);
const StatementDef& statement_def(std::string_view keyword);

void print_command_list();
void print_help(const StatementDef& statement);

// Candidates for `word`, the word being typed, given the text of the line before it.
// An empty result with `wants_file` set means a file path is expected there.
std::vector<std::string> completion_candidates(const std::string& before, const std::string& word,
                                               bool& wants_file);
