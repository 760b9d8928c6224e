// Orvix Local's endpoints for the client version, projects, datasets and indices, and job states.
#include "server/local_service.h"

#include <set>

#include "server/graph.h"
#include "server/request_fields.h"
#include "server/search_engine.h"

namespace orvix_local {

json LocalService::check_cli_version(const std::string&, const json& body) {
  const std::string version = text(body, "cli_version");
  if (version == "1.0.0") return {{"success", true}, {"message", ""}};
  return {{"success", false},
          {"message", "Client version " + version + " is not supported; please use 1.0.0"}};
}

json LocalService::create_project(const std::string& owner, const json& body) {
  const std::string application = text(body, "application");
  if (application != "search" && application != "autoML" && application != "both") {
    throw bad_request("application must be search, autoML or both");
  }
  store_.create_project(owner, text(body, "project_name"), application);
  return {{"success", true}};
}

json LocalService::fetch_projects(const std::string& owner, const json&) {
  return {{"projects", store_.list_projects(owner)}};
}

json LocalService::delete_project(const std::string& owner, const json& body) {
  const auto gone = store_.delete_project(owner, text(body, "project_name"));
  if (!gone) return {{"success", false}, {"error_code", "PROJECT_NOT_FOUND"}};
  forget_datasets(*gone);
  return {{"success", true}};
}

json LocalService::init(const std::string& owner, const json& body) {
  static const std::set<std::string> types = {"sparse",    "dense",     "dense1Bit",
                                              "dense2Bit", "dense4Bit", "dense8Bit"};
  const std::string type = text(body, "vector_type");
  if (types.count(type) == 0) throw bad_request("unknown vector type \"" + type + "\"");
  if (!body.contains("vector_dim") || !body.at("vector_dim").is_number_integer()) {
    throw bad_request("member \"vector_dim\" must be an integer");
  }
  const auto dim = body.at("vector_dim").get<long long>();
  if (type != "sparse" && (dim < 1 || dim > 65536)) {
    throw bad_request("vector_dim must be between 1 and 65536");
  }
  store_.create_dataset(owner, text(body, "project_name"), text(body, "collection_name"), type,
                        type == "sparse" ? 0 : static_cast<int>(dim));
  return {{"success", true}};
}

json LocalService::fetch_datasets(const std::string& owner, const json& body) {
  return {{"datasets", store_.list_datasets(owner, text(body, "project_name"))}};
}

json LocalService::delete_dataset(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name"), name = text(body, "dataset_name");
  try {
    const auto gone = store_.delete_dataset(owner, project, name);
    if (!gone) return {{"success", false}, {"error_code", "DATASET_NOT_FOUND"}};
    forget_datasets({*gone});
    return {{"success", true}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}};
  }
}

json LocalService::attach_index(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name"),
                    collection = text(body, "collection_name");
  const std::string dist = text(body, "dist_type"), name = text(body, "index_name");
  if (!body.contains("large_index") || !body.at("large_index").is_boolean()) {
    throw bad_request("member \"large_index\" must be a boolean");
  }
  try {
    const auto dataset = store_.dataset(owner, project, collection);
    if (!known_distance(dist)) {
      return {{"success", false},
              {"error_code", "UNKNOWN_DISTANCE_TYPE"},
              {"error", "dist_type must be L2, Inner Product, Cosine or Hamming"}};
    }
    const auto index = store_.create_index(dataset, name, dist, body.at("large_index").get<bool>());
    const json details = {
        {"dataset", dataset_details(dataset)},
        {"index", {{"name", index.name}, {"dist_type", index.dist_type}, {"large", index.large}}}};
    return {{"success", true},
            {"job_id", jobs_.submit(owner, "attach", dataset.id, index.id, details, std::nullopt)}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}, {"error", e.what()}};
  }
}

json LocalService::job_status(const std::string& owner, const json& body) {
  const auto state = jobs_.state(owner, text(body, "job_id"));
  if (!state) throw ApiError(404, "JOB_NOT_FOUND", "no such job");
  json answer = {{"success", true}, {"status", state->status}};
  if (state->status == "finished") answer["error_message"] = state->message;
  if (state->status == "failed") answer["error"] = state->error;
  return answer;
}

json LocalService::list_index_infos(const std::string& owner, const json& body) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "dataset_name"));
  return {{"index_infos", store_.list_indices(dataset)}};
}

json LocalService::delete_index(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name"), collection = text(body, "dataset_name");
  const std::string name = text(body, "index_name");
  try {
    const auto dataset = store_.dataset(owner, project, collection);
    const auto gone = store_.delete_index(dataset, name);
    if (!gone) return {{"success", false}, {"error_code", "INDEX_NOT_FOUND"}};
    drop_graph(*live_.get(dataset), *gone);
    remove_saved_graph(*gone, graphs_.directory());
    return {{"success", true}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}};
  }
}

}  // namespace orvix_local
