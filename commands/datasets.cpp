// Datasets: create, list, delete.
#include "commands/datasets.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>

#include "client/line_input.h"
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"
#include "language/diagnostics.h"

namespace rest_client {
namespace {

// std::stoi's rules, with every failure reported in the handler's own words.
int dimension_from_text(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::exception&) {
    throw std::invalid_argument("Vector Dim should be an integer");
  }
}

// "size" as a signed 64-bit count; fractions are truncated.
std::string size_text(const json& dataset) {
  if (!dataset.contains("size")) return "null";
  const json& size = dataset.at("size");
  if (size.is_number_float()) {
    const double value = size.get<double>();
    if (!(std::fabs(value) < 9.2e18)) throw std::out_of_range("dataset size out of range");
  }
  return to_readable_size(static_cast<std::uint64_t>(size.get<std::int64_t>()));
}

std::string text_member(const json& dataset, const char* member) {
  if (!dataset.contains(member)) return "null";
  return dataset.at(member).get<std::string>();
}

}  // namespace

std::string to_readable_size(std::uint64_t bytes) {
  static const struct {
    std::uint64_t limit;
    double divisor;
    const char* unit;
  } units[] = {{1ULL << 20, 1.0 / (1ULL << 10), " KB"},
               {1ULL << 30, 1.0 / (1ULL << 20), " MB"},
               {1ULL << 40, 1.0 / (1ULL << 30), " GB"}};
  double scaled = static_cast<double>(bytes) * (1.0 / static_cast<double>(1ULL << 40));
  const char* unit = " TB";
  for (const auto& candidate : units) {
    if (bytes < candidate.limit) {
      scaled = static_cast<double>(bytes) * candidate.divisor;
      unit = candidate.unit;
      break;
    }
  }
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(2);
  out << scaled << unit;
  return out.str();
}

bool handle_init_dataset(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& vector_type, const std::string& vector_dim) {
  return guarded("handle_init_dataset", [&] {
    print_info("Creating dataset with project_name, dataset_name, vector_type: " + project + " " +
               dataset + " " + vector_type + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["collection_name"] = dataset;
    body["vector_type"] = vector_type;
    body["vector_dim"] = dimension_from_text(vector_dim);
    if (!answered(post_limited(session, "/init", body),
                  "Initialize dataset failed! Status: ", "\n Response: ")) {
      return false;
    }
    print_success("Successfully initialized dataset '" + dataset + "'");
    return true;
  });
}

bool handle_fetch_datasets(Session& session, const std::string& project) {
  return guarded("handle_fetch_datasets", [&] {
    print_info("Fetching dataset info of project " + project + "...");
    json body = request_body(session);
    body["project_name"] = project;
    const HttpResponse response = post_limited(session, "/fetch_datasets", body);
    if (!answered(response, "Datasets fetch failed! Status: ")) return false;
    print_success("Datasets fetch succeeded");
    const json answer = parse_json(response.text);
    if (!has_array_member(answer, "datasets")) {
      print_error("Server returned incorrect response format");
      return false;
    }
    const json& datasets = answer.at("datasets");
    statement_output::datasets(session, datasets);
    print_success("Successfully fetched " + std::to_string(datasets.size()) +
                  " datasets from project '" + project + "'");
    for (const json& dataset : datasets) {
      print_border();
      require_object(dataset);
      const std::string name = text_member(dataset, "name");
      const std::string dimension = text_member(dataset, "dimension");
      const std::string size = size_text(dataset);
      std::cout << "Name: " << name << "\nDimension: " << dimension << "\nSize: " << size << "\n"
                << std::flush;
    }
    print_border();
    return true;
  });
}

bool handle_delete_dataset(Session& session, const std::string& project,
                           const std::string& dataset) {
  return guarded("handle_delete_dataset", [&] {
    print_info("Deleting dataset with dataset_name: " + dataset + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["dataset_name"] = dataset;
    const HttpResponse response = post_limited(session, "/delete_dataset", body);
    if (!answered(response, "Delete dataset failed! Status: ")) return false;
    const json answer = parse_json(response.text);
    if (!read_success(answer)) {
      print_error("Failed to delete dataset, error code: " + read_error_code(answer));
      return false;
    }
    print_success("Successfully deleted dataset '" + dataset + "'");
    return true;
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, InitDataset& s) {
  return rest_client::handle_init_dataset(session, s.project, s.dataset, s.vector_type,
                                          s.vector_dim);
}

bool execute(rest_client::Session& session, FetchDatasets& s) {
  const bool ok = rest_client::handle_fetch_datasets(session, s.project);
  debug("Fetch datasets done.");
  return ok;
}

bool execute(rest_client::Session& session, DeleteDataset& s) {
  return rest_client::confirmed("Are you sure you want to delete dataset '" + s.dataset +
                                    "' in project'" + s.project + "'? [y/N]: ",
                                "Deletion cancelled.") &&
         rest_client::handle_delete_dataset(session, s.project, s.dataset);
}

}  // namespace stmt
