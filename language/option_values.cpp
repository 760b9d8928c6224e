#include "language/option_values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "language/diagnostics.h"
#include "language/vocabulary.h"

namespace {

using json = nlohmann::json;
using Shape = OptionWords::Shape;

bool dump_checked(const json& value, std::string& out) {
  try {
    out = value.dump();
    return true;
  } catch (const json::type_error&) {
    yyerror("Invalid UTF-8 in argument");
    return false;
  }
}

// The standard string-to-int rules: leading blanks, a sign, digits; the rest is ignored.
std::optional<int> c_int(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

bool shape_fits(OptionKind kind, Shape shape) {
  switch (kind) {
    case OptionKind::kFlag:
      return shape == Shape::kNone;
    case OptionKind::kText:
    case OptionKind::kInteger:
    case OptionKind::kYesNo:
    case OptionKind::kOneOf:
      return shape == Shape::kWord;
    case OptionKind::kWords:
      return shape == Shape::kWords || shape == Shape::kEmptyList;
    case OptionKind::kPairs:
      return shape == Shape::kPairs || shape == Shape::kEmptyList;
    case OptionKind::kPairLists:
      return shape == Shape::kPairLists;
  }
  return false;
}

// A value that fits its option's kind, in the types the typed fields hold.
struct Typed {
  std::string text;  // as traces show it
  std::optional<StringList> words;
  std::optional<int> number;
  std::optional<bool> yes;
};

// A word of the wrong kind is refused with the statement's help, but a yes-or-no word, which is
// refused alone.
bool make_typed(const StatementDef& statement, const OptionDef& option, OptionKind kind,
                OptionWords& value, Typed& out) {
  switch (kind) {
    case OptionKind::kFlag:
      out.text = "true";
      out.yes = true;
      return true;
    case OptionKind::kText:
      out.text = std::move(value.word);
      return true;
    case OptionKind::kInteger:
      out.number = c_int(value.word);
      if (!out.number) {
        yyerror((std::string(option.key) + " must be an integer").c_str());
        print_help(statement);
        return false;
      }
      out.text = std::move(value.word);
      return true;
    case OptionKind::kYesNo:
      out.yes = yes_or_no_word(value.word);
      if (!out.yes) {
        yyerror(("Invalid value for " + upper_ascii(option.key) + ": " + lower_ascii(value.word))
                    .c_str());
        return false;
      }
      out.text = *out.yes ? "true" : "false";
      return true;
    case OptionKind::kOneOf:
      if (std::none_of(option.values.begin(), option.values.end(),
                       [&](const char* fixed) { return value.word == fixed; })) {
        std::string allowed;
        for (const char* fixed : option.values) {
          allowed += (allowed.empty() ? "\"" : " or \"") + std::string(fixed) + "\"";
        }
        yyerror(("Argument " + std::string(option.key) + " must be " + allowed + ", not \"" +
                 value.word + "\"")
                    .c_str());
        print_help(statement);
        return false;
      }
      out.text = std::move(value.word);
      return true;
    case OptionKind::kWords:
      if (!dump_checked(json(value.words), out.text)) return false;
      out.words = std::move(value.words);
      return true;
    case OptionKind::kPairs:
      return key_values_to_json(value.pairs, out.text);
    case OptionKind::kPairLists: {
      out.text.assign(1, '[');
      for (std::size_t i = 0; i < value.pair_lists.size(); ++i) {
        std::string object;
        if (!key_values_to_json(value.pair_lists[i], object)) return false;
        out.text += (i != 0 ? "," : "") + object;
      }
      out.text += ']';
      return true;
    }
  }
  return false;
}

struct Store {
  Typed& value;
  Options& options;
  void operator()(std::monostate) const {}
  void operator()(std::optional<std::string> Options::*field) const { options.*field = value.text; }
  void operator()(std::optional<StringList> Options::*field) const {
    options.*field = std::move(value.words);
  }
  void operator()(std::optional<int> Options::*field) const { options.*field = value.number; }
  void operator()(std::optional<bool> Options::*field) const { options.*field = value.yes; }
  void operator()(bool Options::*field) const { options.*field = true; }
};

struct Holds {
  const Options& options;
  bool operator()(std::monostate) const { return false; }
  template <class T>
  bool operator()(std::optional<T> Options::*field) const {
    return (options.*field).has_value();
  }
  bool operator()(bool Options::*field) const { return options.*field; }
};

void trace(const Options& options, OptionTrace how) {
  switch (how) {
    case OptionTrace::kDebug:
      for (const auto& [option, text] : options.given) {
        debug(std::string("insert_vector_options: ") + option->key + " = " + text);
      }
      break;
    case OptionTrace::kStandardOutput:
      for (const auto& [option, text] : options.given) {
        std::cout << "[Orvix] search_options: " << option->key << " = " << text << "\n";
      }
      std::cout << std::flush;
      break;
    case OptionTrace::kNone:
      break;
  }
}

}  // namespace

OptionAdded add_option(Options& options, const StatementDef& statement, const OptionDef& option,
                       OptionWords value) {
  const OptionUse* use = option_use(option, statement);
  if (use == nullptr || !shape_fits(use->kind, value.shape)) return OptionAdded::kNotTaken;
  Typed typed;
  if (!make_typed(statement, option, use->kind, value, typed)) return OptionAdded::kRefused;
  debug(option.key);
  if (std::any_of(options.given.begin(), options.given.end(),
                  [&](const auto& given) { return given.first == &option; })) {
    yyerror((std::string("Repeated argument ") + option.key).c_str());
    return OptionAdded::kRefused;
  }
  options.given.emplace_back(&option, typed.text);
  std::visit(Store{typed, options}, option.field);
  trace(options, statement.trace);
  return OptionAdded::kAdded;
}

std::vector<std::string> Options::left_over() const {
  std::vector<std::string> keys;
  for (const auto& [option, text] : given) {
    if (std::visit(Holds{*this}, option->field)) keys.emplace_back(option->key);
  }
  return keys;
}

bool key_values_to_json(const KeyValueList& pairs, std::string& out) {
  json object = json::object();
  for (const auto& [key, value] : pairs) object.emplace(key, value);  // keeps the first
  return dump_checked(object, out);
}

std::optional<bool> yes_or_no_word(std::string word) {
  word = lower_ascii(std::move(word));
  if (word == "true" || word == "yes" || word == "1") return true;
  if (word == "false" || word == "no" || word == "0") return false;
  return std::nullopt;
}
