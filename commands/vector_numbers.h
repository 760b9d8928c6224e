#pragma once
// Number conversions of the vector statements, with the C library's string-to-number rules.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "language/statement.h"

namespace rest_client {

using SparseVector = std::vector<std::pair<std::uint32_t, float>>;

// A number in the C library's notation, refused (std::invalid_argument or std::out_of_range)
// when it is NaN, infinite or too large for the type; values that round to a subnormal or to
// zero are numbers.
float finite_float(std::string_view text);
double finite_double(const std::string& text);

// Dense values as 32-bit floats; throws std::invalid_argument
// "Elements inside the vector should be a number".
std::vector<float> to_dense_vector(const std::vector<std::string>& texts);
// A JSON object of index to value strings; throws the JSON parse error for text that is not
// JSON and std::invalid_argument "Invalid values for vector" for bad indices or values.
SparseVector to_sparse_vector(const std::string& sparse_text);

// JSON arrays of the converted numbers, floats widened to 64 bits.
nlohmann::json dense_json(const std::vector<float>& values);
nlohmann::json sparse_json(const SparseVector& pairs);
// Appends dense_json(values).dump() to `out` without building the JSON value.
void append_dense_text(const std::vector<float>& values, std::string& out);
// Appends every row as append_dense_text(to_dense_vector(row)) would, the rows separated by
// commas; large batches are converted by several threads, each into its own part. Throws as
// to_dense_vector does.
void append_dense_rows(const WordRows& rows, std::string& out);

}  // namespace rest_client
