#pragma once
// The questions an upload of a CSV file without field names asks: which column holds the ids,
// and which hold attributes. The answers are read from the same input as statements.

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "upload/input_file.h"

namespace rest_client {

// Fields of the file's first line, split at commas; an empty field after a trailing comma does
// not count. Only a bounded prefix is read.
std::size_t column_count(InputFile& file);

// Asks for the id column and the attribute columns of a file of `columns` columns, and sets
// "vector_id_field_name" and "vector_attributes" in `body` from the answers.
void ask_columns(nlohmann::json& body, std::size_t columns);

}  // namespace rest_client
