#include "server/request_fields.h"

#include <cmath>
#include <set>

namespace orvix_local {

ApiError bad_request(const std::string& text) {
  return ApiError(400, "BAD_REQUEST", text);
}

bool is_bad_request(const ApiError& e) {
  return e.code == "BAD_REQUEST";
}

std::string text(const json& body, const char* member) {
  if (!body.contains(member) || !body.at(member).is_string()) {
    throw bad_request(std::string("member \"") + member + "\" must be a string");
  }
  return body.at(member).get<std::string>();
}

std::string optional_text(const json& body, const char* member) {
  return body.contains(member) ? text(body, member) : std::string();
}

std::vector<std::string> texts(const json& body, const char* member) {
  if (!body.contains(member) || !body.at(member).is_array()) {
    throw bad_request(std::string("member \"") + member + "\" must be an array of strings");
  }
  std::vector<std::string> values;
  for (const auto& value : body.at(member)) {
    if (!value.is_string()) {
      throw bad_request(std::string("member \"") + member + "\" must be an array of strings");
    }
    values.push_back(value.get<std::string>());
  }
  return values;
}

const json& array_member(const json& body, const char* member) {
  if (!body.contains(member) || !body.at(member).is_array()) {
    throw bad_request(std::string("member \"") + member + "\" must be an array");
  }
  return body.at(member);
}

float finite_value(const json& value, const std::string& id) {
  const auto narrow = static_cast<float>(value.get<double>());
  if (!std::isfinite(narrow)) {
    throw bad_request("the data of '" + id + "' holds a value that is not a finite 32-bit number");
  }
  return narrow;
}

// A vector as sent by the client: numbers (dense) or [index, value] pairs (sparse).
VectorRecord vector_from(const json& data, const std::string& id) {
  if (!data.is_array()) throw bad_request("the data of '" + id + "' must be an array");
  VectorRecord record;
  record.id = id;
  for (const auto& value : data) {
    if (value.is_array()) {
      if (value.size() != 2 || !value.at(0).is_number_unsigned() || !value.at(1).is_number()) {
        throw bad_request("a sparse entry of '" + id + "' is not [index, value]");
      }
      if (value.at(0).get<std::uint64_t>() > 0xffffffffULL) {
        throw bad_request("a sparse index of '" + id + "' is not below 2^32");
      }
      record.sparse.emplace_back(static_cast<std::uint32_t>(value.at(0).get<std::uint64_t>()),
                                 finite_value(value.at(1), id));
    } else if (value.is_number()) {
      record.dense.push_back(finite_value(value, id));
    } else {
      throw bad_request("the data of '" + id + "' holds a value that is not a number");
    }
  }
  if (!record.dense.empty() && !record.sparse.empty()) {
    throw bad_request("the data of '" + id + "' mixes dense and sparse values");
  }
  return record;
}

json attributes_at(const json& attributes, std::size_t i) {
  if (attributes.is_array()) return i < attributes.size() ? attributes.at(i) : json();
  return attributes;
}

json error_answer(const ApiError& e) {
  return {{"error_code", e.code}, {"error_message", e.what()}};
}

ApiError limit_error(const std::string& what, std::size_t amount, std::size_t limit,
                     const std::string& option) {
  return ApiError(413, "LIMIT_EXCEEDED", over_limit(what, amount, limit, option));
}

void check_records(std::size_t count, const ServiceLimits& limits) {
  if (count > limits.max_records) {
    throw limit_error("the number of vectors", count, limits.max_records, "--max-records");
  }
}

json dataset_details(const DatasetInfo& d) {
  return {{"id", d.id}, {"name", d.name}, {"vector_type", d.vector_type}, {"dim", d.dim}};
}

DatasetInfo dataset_of(const json& details) {
  return {details.at("id").get<std::int64_t>(), details.at("name").get<std::string>(),
          details.at("vector_type").get<std::string>(), details.at("dim").get<int>()};
}

// A query must be of the dataset's kind and, when dense, of its dimension.
void check_query(const DatasetInfo& dataset, const VectorRecord& query, const std::string& what) {
  if (dataset.sparse()) return;
  if (!query.sparse.empty()) {
    throw bad_request(what + " is sparse; dataset '" + dataset.name + "' is dense");
  }
  if (static_cast<int>(query.dense.size()) != dataset.dim) {
    throw bad_request(what + " has " + std::to_string(query.dense.size()) + " values; dataset '" +
                      dataset.name + "' has dimension " + std::to_string(dataset.dim));
  }
}

VectorFilter filter_from(const json& condition) {
  if (!condition.is_object()) throw bad_request("member \"filter\" must be an object");
  const std::string attribute = text(condition, "attribute");
  const std::string type = optional_text(condition, "type");
  auto value_of = [attribute](const json& attributes) -> std::optional<std::string> {
    if (!attributes.is_object() || !attributes.contains(attribute)) return std::nullopt;
    const json& value = attributes.at(attribute);
    return value.is_string() ? value.get<std::string>() : value.dump();
  };
  if (type == "equality") {
    const auto targets = texts(condition, "target_values");
    const std::set<std::string> wanted(targets.begin(), targets.end());
    return [value_of, wanted](const json& attributes) {
      const auto value = value_of(attributes);
      return value && wanted.count(*value) != 0;
    };
  }
  if (type == "range") {
    const std::string start = text(condition, "start_value"), end = text(condition, "end_value");
    return [value_of, start, end](const json& attributes) {
      const auto value = value_of(attributes);
      return value && *value >= start && *value <= end;
    };
  }
  if (type.empty()) {
    return [value_of](const json& attributes) { return value_of(attributes).has_value(); };
  }
  throw bad_request("filter type must be equality or range");
}

json neighbours_json(const std::vector<Neighbour>& found) {
  json list = json::array();
  for (const auto& n : found) list.push_back({{"distance", n.distance}, {"idx", n.id}});
  return list;
}

std::string answer_text(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace orvix_local
