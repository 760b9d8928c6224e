#include "language/option_maps.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>

#include "language/diagnostics.h"

namespace {

using json = nlohmann::json;

bool dump_checked(const json& value, std::string& out) {
  try {
    out = value.dump();
    return true;
  } catch (const json::type_error&) {
    yyerror("Invalid UTF-8 in argument");
    return false;
  }
}

}  // namespace

bool add_option(OptionMap& options, OptionEntry entry, OptionTrace trace) {
  debug(entry.first);
  if (options.count(entry.first) != 0) {
    yyerror(("Repeated argument " + entry.first).c_str());
    return false;
  }
  options.emplace(std::move(entry));
  switch (trace) {
    case OptionTrace::kInsertVector:
      for (const auto& [key, value] : options)
        debug("insert_vector_options: " + key + " = " + value);
      break;
    case OptionTrace::kSearch:
      for (const auto& [key, value] : options) {
        std::cout << "[Orvix] search_options: " << key << " = " << value << "\n";
      }
      std::cout << std::flush;
      break;
    case OptionTrace::kNone:
      break;
  }
  return true;
}

bool key_values_to_json(const KeyValueList& pairs, std::string& out) {
  json object = json::object();
  for (const auto& [key, value] : pairs) object.emplace(key, value);  // keeps the first
  return dump_checked(object, out);
}

bool strings_to_json_array(const StringList& values, std::string& out) {
  return dump_checked(json(values), out);
}

bool object_texts_to_json_array(const StringList& objects, std::string& out) {
  out.assign(1, '[');
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (i != 0) out += ',';
    out += objects[i];
  }
  out += ']';
  return true;
}

std::optional<bool> yes_or_no_word(std::string word) {
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (word == "true" || word == "yes" || word == "1") return true;
  if (word == "false" || word == "no" || word == "0") return false;
  return std::nullopt;
}

bool normalise_has_field_names(const std::string& word, std::string& out) {
  const auto yes = yes_or_no_word(word);
  if (!yes) {
    std::string lower = word;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    yyerror(("Invalid value for HAS_FIELD_NAMES: " + lower).c_str());
    return false;
  }
  out = *yes ? "true" : "false";
  return true;
}
