#include "commands/vector_numbers.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "client/large_buffers.h"
#include "client/payload.h"

namespace rest_client {
namespace {

// The C library's reading of a number (leading blanks skipped, trailing text ignored), refusing
// what the service cannot store: NaN, infinities and values too large for the type. Values that
// round to a subnormal or to zero are numbers.
template <class Number, class Convert>
Number finite_number(const std::string& text, Convert convert) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const Number value = convert(begin, &end);
  if (end == begin) throw std::invalid_argument("not a number");
  if (!std::isfinite(value)) throw std::out_of_range("not a finite number");
  return value;
}

float dense_value(std::string_view text) {
  try {
    return finite_float(text);
  } catch (const std::exception&) {
    throw std::invalid_argument("Elements inside the vector should be a number");
  }
}

// The rows [first, last) of a batch, as append_dense_rows writes them.
void append_row_range(const WordRows& rows, std::size_t first, std::size_t last, std::string& out) {
  std::vector<float> values;
  for (std::size_t row = first; row < last; ++row) {
    if (row > first) out += ',';
    values.clear();
    for (std::size_t word = rows.first_word(row); word < rows.first_word(row + 1); ++word) {
      values.push_back(dense_value(rows.word(word)));
    }
    append_dense_text(values, out);
  }
}

}  // namespace

float finite_float(std::string_view text) {
  // Plain decimal text, the common case, is read by from_chars, which rounds as strtof does;
  // anything else (blanks, hexadecimal, inf, trailing text, out of range) goes the C library's
  // way.
  float value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc() && stop == end && !text.empty() &&
      (text.front() == '-' || (text.front() >= '0' && text.front() <= '9')) &&
      std::isfinite(value)) {
    return value;
  }
  return finite_number<float>(std::string(text),
                              [](const char* s, char** e) { return std::strtof(s, e); });
}

double finite_double(const std::string& text) {
  return finite_number<double>(text, [](const char* s, char** end) { return std::strtod(s, end); });
}

std::vector<float> to_dense_vector(const std::vector<std::string>& texts) {
  std::vector<float> values;
  values.reserve(texts.size());
  for (const auto& text : texts) values.push_back(dense_value(text));
  return values;
}

SparseVector to_sparse_vector(const std::string& sparse_text) {
  const nlohmann::json object = nlohmann::json::parse(sparse_text);
  SparseVector pairs;
  try {
    for (const auto& [name, value] : object.items()) {
      const auto index = static_cast<std::uint32_t>(std::stoi(name));
      pairs.emplace_back(index, finite_float(value.get<std::string>()));
    }
  } catch (const std::exception&) {
    throw std::invalid_argument("Invalid values for vector");
  }
  return pairs;
}

nlohmann::json dense_json(const std::vector<float>& values) {
  nlohmann::json array = nlohmann::json::array();
  array.get_ref<nlohmann::json::array_t&>().reserve(values.size());
  for (float value : values) array.push_back(static_cast<double>(value));
  return array;
}

void append_dense_text(const std::vector<float>& values, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    append_json_number(static_cast<double>(values[i]), out);
  }
  out += ']';
}

void append_dense_rows(const WordRows& rows, std::string& out) {
  // Converting and writing the numbers is most of a large batch's time: from about a hundred
  // thousand values on, up to four threads share it, each writing the rows of its own part.
  constexpr std::size_t kWordsForAThread = 1 << 17;
  const std::size_t parts = std::min<std::size_t>(
      {4, std::max(1U, std::thread::hardware_concurrency()), 1 + rows.words() / kWordsForAThread,
       std::max<std::size_t>(rows.rows(), 1)});
  std::vector<std::size_t> bounds = {0};  // parts of about the same number of words
  for (std::size_t row = 0; row + 1 < rows.rows() && bounds.size() < parts; ++row) {
    if (rows.first_word(row + 1) * parts >= rows.words() * bounds.size()) bounds.push_back(row + 1);
  }
  bounds.push_back(rows.rows());
  std::vector<std::string> texts(bounds.size() - 2);
  std::vector<std::exception_ptr> failures(texts.size());
  auto run_part = [&rows, &bounds, &texts, &failures](std::size_t part) {
    try {
      append_row_range(rows, bounds[part + 1], bounds[part + 2], texts[part]);
    } catch (...) {
      failures[part] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers(texts.size());
  for (std::size_t part = 0; part < texts.size(); ++part) {
    // Taken here, on this thread, where memory freed earlier (the line) can serve again.
    reserve_large(texts[part],
                  (rows.first_word(bounds[part + 2]) - rows.first_word(bounds[part + 1])) * 25);
    try {
      helpers[part] = std::thread(run_part, part);
    } catch (const std::system_error&) {
      // No thread to be had: this part is written below, on this one.
    }
  }
  std::exception_ptr failure;
  try {
    append_row_range(rows, bounds[0], bounds[1], out);
  } catch (...) {
    failure = std::current_exception();
  }
  for (std::size_t part = 0; part < texts.size(); ++part) {
    if (helpers[part].joinable()) {
      helpers[part].join();
    } else {
      run_part(part);
    }
  }
  for (const auto& later : failures) {
    if (!failure) failure = later;
  }
  if (failure) std::rethrow_exception(failure);
  for (const auto& text : texts) {
    out += ',';  // every part holds at least one row
    out += text;
  }
}

nlohmann::json sparse_json(const SparseVector& pairs) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& [index, value] : pairs) {
    array.push_back(nlohmann::json::array({index, static_cast<double>(value)}));
  }
  return array;
}

}  // namespace rest_client
