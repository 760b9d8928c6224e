#pragma once
// The members of a request, read and checked: texts, vectors, filters and queries, and the
// answers and errors built from them. A member missing or of the wrong type is a 400.

#include <string>
#include <vector>

#include "server/limits.h"
#include "server/search_engine.h"
#include "server/store.h"

namespace orvix_local {

ApiError bad_request(const std::string& text);
bool is_bad_request(const ApiError& e);

// A string member; one that is missing or not a string is a bad request.
std::string text(const json& body, const char* member);
// The same, or "" when absent.
std::string optional_text(const json& body, const char* member);
std::vector<std::string> texts(const json& body, const char* member);
const json& array_member(const json& body, const char* member);
float finite_value(const json& value, const std::string& id);
// A vector as sent by the client: numbers (dense) or [index, value] pairs (sparse).
VectorRecord vector_from(const json& data, const std::string& id);
// The attributes of the i-th vector: one of a list, or the same for every vector.
json attributes_at(const json& attributes, std::size_t i);
json error_answer(const ApiError& e);
ApiError limit_error(const std::string& what, std::size_t amount, std::size_t limit,
                     const std::string& option);
void check_records(std::size_t count, const ServiceLimits& limits);
// A job's dataset, kept in its details.
json dataset_details(const DatasetInfo& d);
DatasetInfo dataset_of(const json& details);
// A query must be of the dataset's kind and, when dense, of its dimension.
void check_query(const DatasetInfo& dataset, const VectorRecord& query, const std::string& what);
VectorFilter filter_from(const json& condition);
json neighbours_json(const std::vector<Neighbour>& found);
// JSON text as answers are written: compact, with text that is not UTF-8 replaced.
std::string answer_text(const json& value);

}  // namespace orvix_local
