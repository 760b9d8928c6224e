#include "commands/vector_numbers.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

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

}  // namespace

float finite_float(const std::string& text) {
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
  return finite_number<float>(text, [](const char* s, char** e) { return std::strtof(s, e); });
}

double finite_double(const std::string& text) {
  return finite_number<double>(text, [](const char* s, char** end) { return std::strtod(s, end); });
}

std::vector<float> to_dense_vector(const std::vector<std::string>& texts) {
  std::vector<float> values;
  values.reserve(texts.size());
  for (const auto& text : texts) {
    try {
      values.push_back(finite_float(text));
    } catch (const std::exception&) {
      throw std::invalid_argument("Elements inside the vector should be a number");
    }
  }
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

nlohmann::json sparse_json(const SparseVector& pairs) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& [index, value] : pairs) {
    array.push_back(nlohmann::json::array({index, static_cast<double>(value)}));
  }
  return array;
}

}  // namespace rest_client
