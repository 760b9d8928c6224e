#pragma once
// What one parse of one line produces: the statement's work, run only once the whole line has
// parsed, and whether any diagnostic error was reported on the way.

#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using OptionMap = std::unordered_map<std::string, std::string>;
using OptionEntry = std::pair<std::string, std::string>;
using KeyValueList = std::vector<std::pair<std::string, std::string>>;
using StringList = std::vector<std::string>;
using StringLists = std::vector<std::vector<std::string>>;

struct ParseContext {
  // The statement's work, run once the whole line has parsed; empty for help and error
  // alternatives.
  std::function<bool()> pending;
  bool error_reported = false;  // a syntax error or an action's own error was printed
};
