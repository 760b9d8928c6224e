// SEARCH: nearest neighbours by vector, row, file or dataset, with optional filters.
#include <cmath>
#include <iostream>
#include <optional>

#include "client/payload.h"
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"
#include "commands/vector_numbers.h"

namespace rest_client {
namespace {

json filter_from(Options& options) {
  json filter = json::object();
  if (auto attribute = take(options.filter_attribute)) filter["attribute"] = *attribute;
  if (auto type = take(options.filter_type)) {
    filter["type"] = *type;
    if (*type == "equality") {
      auto targets = take(options.target_values);
      if (!targets) throw std::invalid_argument("target_value argument not found");
      filter["target_values"] = *targets;
    } else if (*type == "range") {
      if (!options.start_value || !options.end_value) {
        throw std::invalid_argument("start_value or end_value argument not found");
      }
      filter["start_value"] = *take(options.start_value);
      filter["end_value"] = *take(options.end_value);
    } else {
      throw std::invalid_argument("Invalid filter type, valid types are equality or range");
    }
  }
  return filter;
}

json query_vector_from(const StringList& words) {
  json numbers = json::array();
  try {
    for (const std::string& word : words) numbers.push_back(finite_double(word));
  } catch (const std::exception&) {
    throw std::invalid_argument("query vector should consist of decimal numbers");
  }
  return numbers;
}

std::uint64_t row_number_from(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\n\v\f\r");
  const bool negative = first != std::string::npos && text[first] == '-';
  try {
    if (!negative) return std::stoull(text);
  } catch (const std::exception&) {
  }
  throw std::invalid_argument("argument -row_number should be a non-negative integer");
}

void add_query(json& body, const std::string& query_type, Options& options) {
  if (query_type == "vector") {
    auto vector = take(options.query_vector);
    if (!vector) throw std::invalid_argument("query_vector argument not found");
    body["query_vector"] = query_vector_from(*vector);
  } else if (query_type == "row") {
    auto row = take(options.row_number);
    if (!row) throw std::invalid_argument("row_number argument not found");
    body["row_number"] = row_number_from(*row);
  } else if (query_type == "file") {
    if (!options.file_path || !options.file_type) {
      throw std::invalid_argument("file_path or file_type argument not found");
    }
    const std::string path = *take(options.file_path);
    body["dataset_name"] = path;
    body["file_data"] = base64_encode(readFileContents(path));
    body["file_format"] = *take(options.file_type);
  } else if (query_type == "dataset") {
    auto dataset = take(options.query_dataset_name);
    if (!dataset) throw std::invalid_argument("dataset_name argument not found");
    body["query_dataset_name"] = *dataset;
  } else {
    throw std::invalid_argument(
        "Query type is invalid, valid types are vector, row, file, or dataset.");
  }
}

void print_results(Session& session, const json& answer) {
  if (!answer.is_object()) throw std::runtime_error("search answer is not a JSON object");
  const json results = member_or_null(answer, "results");
  const auto& list = results.is_null() ? json::array_t{} : results.get_ref<const json::array_t&>();
  const bool multi = !list.empty() && list.front().is_object() &&
                     list.front().contains("matches") && !list.front().at("matches").is_null();
  statement_output::search_results(session, results, multi);
  if (!multi) {
    print_success("Search successful, retrieved top-" + std::to_string(list.size()) + " vectors");
    for (const json& neighbour : list) {
      print_border();
      const float distance = neighbour.at("distance").get<float>();
      std::cout << "Distance/Similarity: " << std::fabs(distance) << std::endl;
      std::cout << "ID: " << member_or_null(neighbour, "idx").dump() << std::endl;
    }
    return;
  }
  print_success("Search successful, found " + std::to_string(list.size()) + " search results");
  for (const json& query : list) {
    print_border();
    std::cout << green() << "Query vector: " << member_or_null(query, "query_vector_id").dump()
              << reset() << std::endl;
    print_border();
    for (const json& match : query.at("matches").get_ref<const json::array_t&>()) {
      std::cout << "Distance: " << member_or_null(match, "distance").dump() << std::endl;
      std::cout << "ID: " << member_or_null(match, "idx").dump() << std::endl;
      std::cout << "================================" << std::endl;
    }
  }
}

}  // namespace

bool handle_search(Session& session, const std::string& project, const std::string& dataset,
                   const std::string& index, const std::string& query_type, Options options) {
  return guarded("handle_search", [&] {
    print_info("Searching... collection_name, index_name, and query_type: " + dataset + " " +
               index + " " + query_type + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["collection_name"] = dataset;
    body["query_type"] = query_type;
    body["index_name"] = index;
    if (auto top_k = take(options.top_k)) {
      try {
        body["top_k"] = std::stoi(*top_k);
      } catch (const std::exception&) {
        throw std::invalid_argument("argument -top_k should be an integer");
      }
    }
    json filter = filter_from(options);
    if (!filter.empty()) body["filter"] = std::move(filter);
    add_query(body, query_type, options);
    if (const auto left = options.left_over(); !left.empty()) {
      for (const auto& key : left) print_error("Invalid argument: " + key);
      return false;
    }
    const HttpResponse response = post_limited(session, "/search", body);
    if (!answered(response, "Search failed! Status: ")) return false;
    print_results(session, parse_json(response.text));
    return true;
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, Search& s) {
  return rest_client::handle_search(session, s.project, s.dataset, s.index, s.query_type,
                                    std::move(s.options));
}

}  // namespace stmt
