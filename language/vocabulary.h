#pragma once
// The command language's vocabulary: every statement keyword with its arguments and help text,
// and every option with what it means: the statements that take it, its kind, its fixed values
// and the typed field it fills. These two tables drive the scanner's reserved words, the
// options' checks, HELP and STATEMENT -h, and completion at the prompt and in the shell.

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "language/statement.h"

struct ArgumentDef {
  const char* name;
  std::vector<const char*> values = {};  // the fixed values completion offers
  bool file = false;                     // a file path is expected here
  bool optional = false;                 // the statement is whole without it (the last only)
};

enum class OptionTrace { kNone, kDebug, kStandardOutput };

struct StatementDef {
  const char* keyword;
  int token;  // the grammar's token for the keyword
  std::vector<ArgumentDef> arguments;
  OptionTrace trace;              // what is printed as each option is added
  std::vector<const char*> help;  // the lines STATEMENT -h prints
};

// What an option's value must be. A value of another shape is a syntax error.
enum class OptionKind {
  kFlag,       // no value
  kText,       // one word, any text
  kInteger,    // one word, read as a C int (leading blanks, a sign, digits; the rest ignored)
  kYesNo,      // one word: true/yes/1 or false/no/0, any case
  kOneOf,      // one word, one of the fixed values exactly
  kWords,      // [w, ...]; stored as a list, traced as a JSON array
  kPairs,      // [k:v, ...]; stored as a JSON object (the leftmost of repeated keys)
  kPairLists,  // [[k:v, ...], ...]; stored as a JSON array of objects
};

struct OptionUse {
  const char* statement;  // the keyword of a statement that takes the option
  OptionKind kind;
};

using OptionField =
    std::variant<std::monostate, std::optional<std::string> Options::*,
                 std::optional<StringList> Options::*, std::optional<int> Options::*,
                 std::optional<bool> Options::*, bool Options::*>;

struct OptionDef {
  const char* name;                  // without dashes; typed as -name or --name
  int token;                         // OPTION (takes a value), FLAG or HELP_FLAG
  std::vector<OptionUse> uses = {};  // none: reserved, and refused everywhere
  const char* key = "";              // what diagnostics and traces call it
  const char* member = "";           // the request body member it becomes ("": none as such)
  OptionField field = {};
  std::vector<const char*> values = {};  // offered by completion; enforced for kOneOf
  bool file = false;                     // a file path is expected
};

const std::vector<StatementDef>& statement_table();
const std::vector<OptionDef>& option_table();
// The options a statement takes, in table order, and the use it makes of one (nullptr: none).
std::vector<const OptionDef*> statement_options(const StatementDef& statement);
const OptionUse* option_use(const OptionDef& option, const StatementDef& statement);

// The grammar's token for a reserved word (a statement keyword, an option, -h, help; any
// case), or 0 when `word` is an ordinary word. `statement` is set for statement keywords,
// `option` (when given) for options.
int reserved_word_token(std::string_view word, const StatementDef** statement,
                        const OptionDef** option = nullptr);
const StatementDef& statement_def(std::string_view keyword);
// A word in capitals or in small letters (ASCII letters only), as reserved words are matched.
std::string upper_ascii(std::string text);
std::string lower_ascii(std::string text);

void print_command_list();
void print_help(const StatementDef& statement);

// Candidates for `word`, the word being typed, given the text of the line before it.
// An empty result with `wants_file` set means a file path is expected there.
std::vector<std::string> completion_candidates(const std::string& before, const std::string& word,
                                               bool& wants_file);
