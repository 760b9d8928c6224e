#pragma once
// Options as the grammar collects them, turned into typed values by the option table, and the
// JSON text forms of bracketed lists. Every function that can fail prints its diagnostic and
// returns false (or says so); the grammar then ends the statement.

#include <optional>
#include <string>
#include <vector>

#include "language/statement.h"

struct OptionDef;
struct StatementDef;

// An option's value as typed, before the table gives it its kind.
struct OptionWords {
  enum class Shape { kNone, kWord, kEmptyList, kWords, kPairs, kPairLists };
  Shape shape = Shape::kNone;
  std::string word;
  StringList words;
  KeyValueList pairs;
  std::vector<KeyValueList> pair_lists;
};

enum class OptionAdded { kAdded, kNotTaken, kRefused };

// Checks `value` against the table's use of `option` in `statement` and stores it in its typed
// field. kNotTaken (the statement does not take the option, or not in this shape) is a syntax
// error the caller reports; kRefused was reported here (a repeat, or a value of the wrong kind).
OptionAdded add_option(Options& options, const StatementDef& statement, const OptionDef& option,
                       OptionWords value);

// [k:v, ...] as a compact JSON object of strings; the leftmost of repeated keys wins.
bool key_values_to_json(const KeyValueList& pairs, std::string& out);
// A yes-or-no word: true/yes/1 or false/no/0, in any case; nullopt for anything else.
std::optional<bool> yes_or_no_word(std::string word);
