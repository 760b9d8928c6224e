#include "upload/csv_questions.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "client/limits.h"
#include "client/line_input.h"

namespace rest_client {
namespace {

using json = nlohmann::json;
using limits::kLongestFirstLine;

std::string answer_line() {
  auto line = read_answer_line();
  if (!line) throw std::invalid_argument("standard input ended before the question was answered");
  return *line;
}

bool yes_or_no(const std::string& question) {
  std::cout << question << std::endl;
  for (;;) {
    const std::string answer = answer_line();
    if (answer == "y") return true;
    if (answer == "n") return false;
    std::cout << "Please answer (y/n)" << std::endl;
  }
}

// The unsigned decimal number at the start of a reply.
std::string leading_number(const std::string& reply) {
  std::size_t i = reply.find_first_not_of(" \t");
  const std::size_t begin = i;
  while (i < reply.size() && reply[i] >= '0' && reply[i] <= '9') ++i;
  if (begin == std::string::npos || i == begin) {
    throw std::invalid_argument("a column number was expected, got \"" + reply + "\"");
  }
  return std::to_string(std::stoull(reply.substr(begin, i - begin)));
}

}  // namespace

std::size_t column_count(InputFile& file) {
  file.start_at(0, nullptr, false);
  const std::string& path = file.path();
  std::string line(kLongestFirstLine + 1, '\0');
  line.resize(file.read(line.data(), line.size()));
  const auto end = line.find('\n');
  if (end == std::string::npos && line.size() > kLongestFirstLine) {
    throw std::invalid_argument("The first line of '" + path + "' is longer than " +
                                std::to_string(kLongestFirstLine >> 20) +
                                " MiB; its columns cannot be counted");
  }
  if (end != std::string::npos) line.resize(end);
  std::istringstream fields(line);
  std::size_t count = 0;
  for (std::string field; std::getline(fields, field, ',');) ++count;
  return count;
}

void ask_columns(json& body, std::size_t columns) {
  const std::string count = std::to_string(columns);
  if (yes_or_no("Do you want to insert a vector_id_field_name? (y/n)")) {
    std::cout << "Please input a number between 1 and " << count
              << ", denoting the column number (1-based) of the column you want as your "
                 "vector_id_field_name"
              << std::endl;
    body["vector_id_field_name"] = leading_number(answer_line());
  }
  if (yes_or_no("Do you want to insert attributes? (y/n)")) {
    std::cout << "Please input number(s) between 1 and " << count
              << " in a line separated by a space, denoting the column number (1-based) of the "
                 "column(s) you want as your vector_attribute(s)"
              << std::endl;
    std::istringstream numbers(answer_line());
    json attributes = json::array();
    for (std::string token; numbers >> token;) {
      std::size_t digits = 0;
      while (digits < token.size() && token[digits] >= '0' && token[digits] <= '9') ++digits;
      if (digits == 0) break;
      attributes.push_back(std::to_string(std::stoull(token.substr(0, digits))));
      if (digits < token.size()) break;
    }
    body["vector_attributes"] = std::move(attributes);
  }
}

}  // namespace rest_client
