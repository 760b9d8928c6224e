#include "server/local_service.h"

#include <map>
#include <optional>

#include "server/codec.h"
#include "server/shard_records.h"

namespace orvix_local {
namespace {

ApiError bad_request(const std::string& text) {
  return ApiError(400, "BAD_REQUEST", text);
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

// A vector as sent by the client: numbers (dense) or [index, value] pairs (sparse).
VectorRecord vector_from(const json& data, const std::string& id) {
  if (!data.is_array()) throw bad_request("the data of '" + id + "' must be an array");
  VectorRecord record;
  record.id = id;
  for (const auto& value : data) {
    if (value.is_array()) {
      if (value.size() != 2 || !value[0].is_number_unsigned() || !value[1].is_number()) {
        throw bad_request("a sparse entry of '" + id + "' is not [index, value]");
      }
      record.sparse.emplace_back(value[0].get<std::uint32_t>(), value[1].get<float>());
    } else if (value.is_number()) {
      record.dense.push_back(value.get<float>());
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
  if (attributes.is_array()) return i < attributes.size() ? attributes[i] : json();
  return attributes;
}

json error_answer(const ApiError& e) {
  return {{"error_code", e.code}, {"error_message", e.what()}};
}

}  // namespace

LocalService::LocalService(const std::string& database_path, std::set<std::string> api_keys)
    : api_keys_(std::move(api_keys)), store_(database_path), engine_(store_) {}

void LocalService::mount(httplib::Server& server) {
  server.Get("/bk/validate-api-key",
             [this](const httplib::Request& request, httplib::Response& response) {
               const std::string key = request.get_header_value("X-API-Key");
               if (api_keys_.count(key) == 0) {
                 response.status = 401;
                 response.set_content(R"({"detail":"Invalid API key"})", "application/json");
                 return;
               }
               const auto position = std::distance(api_keys_.begin(), api_keys_.find(key));
               const json answer = {{"user_id", "local-user-" + std::to_string(position + 1)},
                                    {"username", "local-user-" + std::to_string(position + 1)}};
               response.set_content(answer.dump(), "application/json");
             });
  server.Post(R"(/api/([a-z_]+))",
              [this](const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& reader) {
                std::string body;
                const std::string length = request.get_header_value("Content-Length");
                if (!length.empty())
                  body.reserve(std::min<std::size_t>(std::stoull(length), 1ULL << 34));
                reader([&body](const char* data, std::size_t size) {
                  body.append(data, size);
                  return true;
                });
                auto [status, answer] = call(request.matches[1], body);
                response.status = status;
                response.set_content(answer.dump(-1, ' ', false, json::error_handler_t::replace),
                                     "application/json");
              });
}

std::pair<int, json> LocalService::call(const std::string& endpoint, const std::string& body_text) {
  static const std::map<std::string, Handler> handlers = {
      {"check_cli_version", &LocalService::check_cli_version},
      {"create_project", &LocalService::create_project},
      {"fetch_projects", &LocalService::fetch_projects},
      {"delete_project", &LocalService::delete_project},
      {"init", &LocalService::init},
      {"fetch_datasets", &LocalService::fetch_datasets},
      {"delete_dataset", &LocalService::delete_dataset},
      {"attach_index", &LocalService::attach_index},
      {"get_attach_index_status", &LocalService::job_status},
      {"list_index_infos", &LocalService::list_index_infos},
      {"delete_index", &LocalService::delete_index},
      {"add_data", &LocalService::add_data},
      {"add_data_batch", &LocalService::add_data_batch},
      {"get_upload_data_status", &LocalService::job_status},
      {"remove_data", &LocalService::remove_data},
      {"search", &LocalService::search},
      {"upload", &LocalService::upload},
  };
  const auto handler = handlers.find(endpoint);
  if (handler == handlers.end()) return {404, {{"detail", "no endpoint /" + endpoint}}};
  try {
    json body;
    try {
      body = json::parse(body_text);
    } catch (const json::exception& e) {
      return {400, {{"detail", std::string("malformed JSON: ") + e.what()}}};
    }
    if (!body.is_object()) return {400, {{"detail", "the request body must be a JSON object"}}};
    if (!body.contains("user_api_key") || !body.at("user_api_key").is_string() ||
        api_keys_.count(body.at("user_api_key").get<std::string>()) == 0) {
      return {401, {{"detail", "Invalid API key"}}};
    }
    return {200, (this->*handler->second)(body.at("user_api_key").get<std::string>(), body)};
  } catch (const ApiError& e) {
    return {e.status, {{"detail", e.what()}, {"error_code", e.code}}};
  } catch (const std::exception& e) {
    return {400, {{"detail", e.what()}}};
  }
}

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
  if (store_.delete_project(owner, text(body, "project_name"))) return {{"success", true}};
  return {{"success", false}, {"error_code", "PROJECT_NOT_FOUND"}};
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
  try {
    if (store_.delete_dataset(owner, text(body, "project_name"), text(body, "dataset_name"))) {
      return {{"success", true}};
    }
    return {{"success", false}, {"error_code", "DATASET_NOT_FOUND"}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}};
  }
}

json LocalService::attach_index(const std::string& owner, const json& body) {
  try {
    const auto dataset =
        store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
    const std::string dist = text(body, "dist_type");
    if (!known_distance(dist)) {
      return {{"success", false},
              {"error_code", "UNKNOWN_DISTANCE_TYPE"},
              {"error", "dist_type must be L2, Inner Product, Cosine or Hamming"}};
    }
    if (!body.contains("large_index") || !body.at("large_index").is_boolean()) {
      throw bad_request("member \"large_index\" must be a boolean");
    }
    const std::string name = text(body, "index_name");
    store_.create_index(dataset, name, dist, body.at("large_index").get<bool>());
    const auto index = store_.index(dataset, name);
    const std::string job = jobs_.submit(owner, [this, dataset, index] {
      engine_.prepare(dataset, index);
      return "index '" + index.name + "' is ready";
    });
    return {{"success", true}, {"job_id", job}};
  } catch (const ApiError& e) {
    if (e.status == 400) throw;
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
  try {
    const auto dataset =
        store_.dataset(owner, text(body, "project_name"), text(body, "dataset_name"));
    if (store_.delete_index(dataset, text(body, "index_name"))) return {{"success", true}};
    return {{"success", false}, {"error_code", "INDEX_NOT_FOUND"}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}};
  }
}

json LocalService::add_data(const std::string& owner, const json& body) {
  try {
    const auto dataset =
        store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
    const std::string id = text(body, "string_id");
    VectorRecord record = vector_from(body.contains("data") ? body.at("data") : json(), id);
    if (body.contains("attributes")) record.attributes = body.at("attributes");
    store_.insert(dataset, {record});
    return {{"error_code", "Success"}};
  } catch (const ApiError& e) {
    return error_answer(e);
  }
}

json LocalService::add_data_batch(const std::string& owner, const json& body) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
  if (!body.contains("data") || !body.at("data").is_array()) {
    throw bad_request("member \"data\" must be an array");
  }
  const json& data = body.at("data");
  const json attributes = body.contains("attributes") ? body.at("attributes") : json();
  if (body.contains("string_ids")) {  // dense: one job, all or nothing
    const auto ids = texts(body, "string_ids");
    if (ids.size() != data.size()) {
      throw bad_request(std::to_string(ids.size()) + " string ids for " +
                        std::to_string(data.size()) + " vectors");
    }
    std::vector<VectorRecord> records;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      records.push_back(vector_from(data[i], ids[i]));
      records.back().attributes = attributes_at(attributes, i);
    }
    const std::string checksum = sha256_hex(data.dump());
    const std::string sent = optional_text(body, "checksum");
    const std::string job =
        jobs_.submit(owner, [this, dataset, records = std::move(records), checksum, sent] {
          if (checksum != sent) throw std::runtime_error("checksum of \"data\" does not match");
          store_.insert(dataset, records);
          return "Inserted " + std::to_string(records.size()) + " vectors";
        });
    return {{"checksum_server", checksum}, {"job_id", job}};
  }
  const auto ids = texts(body, "string_id");  // sparse: one answer per vector
  json results = json::array();
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string id = i < ids.size() ? ids[i] : "";
    json result = {{"string_id", id}};
    try {
      if (id.empty()) throw ApiError(400, "MISSING_STRING_ID", "no string id for this vector");
      VectorRecord record = vector_from(data[i], id);
      record.attributes = attributes_at(attributes, i);
      store_.insert(dataset, {record});
      result["status"] = 200;
      result["body"] = json({{"error_code", "Success"}}).dump();
    } catch (const ApiError& e) {
      result["status"] = e.status;
      result["body"] = error_answer(e).dump();
    }
    results.push_back(result);
  }
  return results;
}

json LocalService::remove_data(const std::string& owner, const json& body) {
  try {
    const auto dataset =
        store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
    store_.remove(dataset, texts(body, "string_ids"));
    return {{"error_code", "Success"}};
  } catch (const ApiError& e) {
    if (e.status == 400 && e.code == "BAD_REQUEST") throw;
    return error_answer(e);
  }
}

json LocalService::search(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name");
  const auto dataset = store_.dataset(owner, project, text(body, "collection_name"));
  const auto index = store_.index(dataset, text(body, "index_name"));
  int top_k = 5;
  if (body.contains("top_k")) {
    if (!body.at("top_k").is_number_integer() || body.at("top_k").get<long long>() < 1 ||
        body.at("top_k").get<long long>() > 100000) {
      throw bad_request("top_k must be a whole number from 1 to 100000");
    }
    top_k = body.at("top_k").get<int>();
  }
  VectorFilter filter;
  if (body.contains("filter")) {
    const json& condition = body.at("filter");
    if (!condition.is_object()) throw bad_request("member \"filter\" must be an object");
    const std::string attribute = text(condition, "attribute");
    const std::string type = optional_text(condition, "type");
    auto value_of = [attribute](const VectorRecord& v) -> std::optional<std::string> {
      if (!v.attributes.is_object() || !v.attributes.contains(attribute)) return std::nullopt;
      const json& value = v.attributes.at(attribute);
      return value.is_string() ? value.get<std::string>() : value.dump();
    };
    if (type == "equality") {
      const auto targets = texts(condition, "target_values");
      const std::set<std::string> wanted(targets.begin(), targets.end());
      filter = [value_of, wanted](const VectorRecord& v) {
        const auto value = value_of(v);
        return value && wanted.count(*value) != 0;
      };
    } else if (type == "range") {
      const std::string start = text(condition, "start_value"), end = text(condition, "end_value");
      filter = [value_of, start, end](const VectorRecord& v) {
        const auto value = value_of(v);
        return value && *value >= start && *value <= end;
      };
    } else if (type.empty()) {
      filter = [value_of](const VectorRecord& v) { return value_of(v).has_value(); };
    } else {
      throw bad_request("filter type must be equality or range");
    }
  }
  auto neighbours_json = [](const std::vector<Neighbour>& found) {
    json list = json::array();
    for (const auto& n : found) list.push_back({{"distance", n.distance}, {"idx", n.id}});
    return list;
  };
  const std::string type = text(body, "query_type");
  if (type == "vector" || type == "row") {
    VectorRecord query;
    if (type == "vector") {
      query =
          vector_from(body.contains("query_vector") ? body.at("query_vector") : json(), "query");
    } else {
      if (!body.contains("row_number") || !body.at("row_number").is_number_unsigned()) {
        throw bad_request("member \"row_number\" must be a non-negative integer");
      }
      const auto rows = store_.vectors(dataset);
      const auto row = body.at("row_number").get<std::uint64_t>();
      if (row >= rows->rows.size()) {
        throw ApiError(404, "ROW_NOT_FOUND",
                       "row " + std::to_string(row) + " is beyond the dataset's " +
                           std::to_string(rows->rows.size()) + " rows");
      }
      query = rows->rows[row];
    }
    return {{"results", neighbours_json(engine_.search(dataset, index, query, top_k, filter))}};
  }
  std::vector<VectorRecord> queries;
  std::vector<json> query_ids;
  if (type == "file") {
    queries = parse_query_file(base64_decode(text(body, "file_data")), text(body, "file_format"));
    for (std::size_t i = 0; i < queries.size(); ++i) query_ids.push_back(i);
  } else if (type == "dataset") {
    const auto other = store_.dataset(owner, project, text(body, "query_dataset_name"));
    for (const auto& row : store_.vectors(other)->rows) {
      queries.push_back(row);
      query_ids.push_back(row.id);
    }
  } else {
    throw bad_request("query_type must be vector, row, file or dataset");
  }
  json results = json::array();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    results.push_back(
        {{"query_vector_id", query_ids[i]},
         {"matches", neighbours_json(engine_.search(dataset, index, queries[i], top_k, filter))}});
  }
  return {{"results", results}};
}

json LocalService::upload(const std::string& owner, const json& body) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "dataset_name"));
  std::string file_data = text(body, "file_data");
  const std::string checksum = sha256_hex(file_data);
  ShardFormat format;
  format.file_format = text(body, "file_format");
  format.has_field_names = !body.contains("has_field_names") || body.at("has_field_names") == true;
  format.vector_type = optional_text(body, "vector_type");
  format.id_field = optional_text(body, "vector_id_field_name");
  if (body.contains("vector_attributes")) format.attributes = texts(body, "vector_attributes");
  format.data_field = optional_text(body, "vector_data_field_name");
  if (body.contains("binary_dim")) {
    if (!body.at("binary_dim").is_number_integer())
      throw bad_request("binary_dim must be an integer");
    format.binary_dim = body.at("binary_dim").get<int>();
  }
  format.binary_dtype = optional_text(body, "binary_dtype");
  const std::string ids_text = optional_text(body, "string_id_txt");
  const bool has_ids = body.contains("string_id_txt");
  const std::string sent = optional_text(body, "checksum");
  const std::string job = jobs_.submit(owner, [this, dataset, file_data = std::move(file_data),
                                               checksum, sent, format, ids_text, has_ids] {
    if (checksum != sent) throw std::runtime_error("checksum of \"file_data\" does not match");
    const std::string data = gunzip(base64_decode(file_data));
    std::vector<std::string> ids;
    if (has_ids) {
      const std::string text = gunzip(base64_decode(ids_text));
      std::size_t start = 0;
      while (start < text.size()) {
        const auto end = text.find('\n', start);
        ids.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
      }
    }
    auto records = parse_records(data, format, has_ids ? &ids : nullptr);
    const std::size_t existing = store_.vectors(dataset)->rows.size();
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].id.empty()) records[i].id = std::to_string(existing + i);
    }
    store_.insert(dataset, records);
    return "Inserted " + std::to_string(records.size()) + " vectors";
  });
  return {{"checksum_server", checksum}, {"job_id", job}};
}

}  // namespace orvix_local
