#pragma once
// UPLOAD options for handler tests, by the names diagnostics use ("collection_name" for
// --dataset_name), made by the option table just as the grammar has it make them.

#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "language/option_values.h"
#include "language/vocabulary.h"

using OptionMap = std::map<std::string, std::string>;

inline Options upload_options(const OptionMap& map) {
  const StatementDef& upload = statement_def("UPLOAD");
  Options options;
  for (const auto& [key, value] : map) {
    const OptionDef* found = nullptr;
    for (const OptionDef* option : statement_options(upload)) {
      if (key == option->key) found = option;
    }
    if (found == nullptr) throw std::logic_error("no UPLOAD option is called " + key);
    OptionWords words;
    switch (option_use(*found, upload)->kind) {
      case OptionKind::kFlag:
        break;
      case OptionKind::kWords:
        words.shape = OptionWords::Shape::kWords;
        words.words = nlohmann::json::parse(value).get<StringList>();
        break;
      default:
        words.shape = OptionWords::Shape::kWord;
        words.word = value;
    }
    if (add_option(options, upload, *found, std::move(words)) != OptionAdded::kAdded) {
      throw std::invalid_argument("the option table refused " + key + " = " + value);
    }
  }
  return options;
}
