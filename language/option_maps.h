#pragma once
// Option maps of INSERT_VECTOR, INSERT_VECTOR_BATCH, SEARCH and UPLOAD, and the JSON text
// forms into which bracketed lists are turned. Every function that can fail prints its
// diagnostic and returns false; the grammar then aborts the statement.

#include <optional>
#include <string>

#include "language/statement.h"

enum class OptionTrace { kNone, kInsertVector, kSearch };

// Traces the key, refuses a repeated key, inserts the entry, then prints the list's trace.
bool add_option(OptionMap& options, OptionEntry entry, OptionTrace trace);

// [k:v, ...] as a compact JSON object of strings; the leftmost of repeated keys wins.
bool key_values_to_json(const KeyValueList& pairs, std::string& out);
// [v, ...] as a compact JSON array of strings.
bool strings_to_json_array(const StringList& values, std::string& out);
// Compact JSON object texts joined into one JSON array text.
bool object_texts_to_json_array(const StringList& objects, std::string& out);
// A yes-or-no word: true/yes/1 or false/no/0, in any case; nullopt for anything else.
std::optional<bool> yes_or_no_word(std::string word);
// --has_field_names: a yes-or-no word, stored as "true" or "false".
bool normalise_has_field_names(const std::string& word, std::string& out);
