#include "server/local_service.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "server/codec.h"
#include "server/json_limits.h"
#include "server/search_engine.h"
#include "server/shard_records.h"

namespace orvix_local {
namespace {

// A request without a usable key is parsed, to say what else is wrong with it, only when it is
// no larger than this.
constexpr std::size_t kExplainedBody = 64 << 10;

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

// A job's input file, read whole or in pieces.
class InputFile {
 public:
  explicit InputFile(const std::string& path)
      : file_(std::fopen(path.c_str(), "rb"), &std::fclose) {
    if (!file_) throw std::runtime_error("the job's input is missing");
  }
  std::string read(std::size_t count) {
    std::string data(count, '\0');
    if (std::fread(data.data(), 1, count, file_.get()) != count) {
      throw std::runtime_error("the job's input is damaged");
    }
    return data;
  }
  // Passes `count` bytes to `each` a piece at a time.
  template <typename Each>
  void stream(std::size_t count, Each&& each) {
    std::vector<char> buffer(4 << 20);
    while (count > 0) {
      const std::size_t n =
          std::fread(buffer.data(), 1, std::min(count, buffer.size()), file_.get());
      if (n == 0) throw std::runtime_error("the job's input is damaged");
      each(std::string_view(buffer.data(), n));
      count -= n;
    }
  }
  std::string rest() {
    std::string data;
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_.get())) > 0) data.append(buffer, n);
    return data;
  }
  void seek(long at) { std::fseek(file_.get(), at, SEEK_SET); }

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

std::string read_file(const std::string& path) {
  return InputFile(path).rest();
}

// An upload job's input: the size of the shard's gzip (8 bytes, little-endian), the gzip of the
// shard, then the gzip of its string ids.
std::string shard_header(std::size_t size) {
  std::string header(8, '\0');
  for (int i = 0; i < 8; ++i) header[i] = static_cast<char>((size >> (8 * i)) & 0xff);
  return header;
}

std::size_t shard_size(const std::string& header) {
  std::uint64_t size = 0;
  for (int i = 0; i < 8; ++i) {
    size |= static_cast<std::uint64_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  }
  return size;
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvix-local-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LocalService::LocalService(const std::string& data_dir, const std::set<std::string>& api_keys,
                           ServiceLimits limits)
    : scratch_(data_dir.empty() ? std::make_unique<ScratchDirectory>() : nullptr),
      data_dir_(scratch_ ? scratch_->path() : data_dir),
      limits_(limits),
      budget_(limits.max_inflight),
      store_(data_dir_ + "/orvix.db"),
      jobs_(store_, data_dir_ + "/jobs") {
  int number = 0;
  for (const auto& key : api_keys) users_[owner_of(key)] = ++number;
  ::mkdir((data_dir_ + "/jobs").c_str(), 0700);
  store_.purge_orphans();
  jobs_.start([this](const Job& job) { return run_job(job); });
}

std::optional<json> LocalService::validate_key(const std::string& key) const {
  const auto user = users_.find(owner_of(key));
  if (user == users_.end()) return std::nullopt;
  const std::string name = "local-user-" + std::to_string(user->second);
  return json{{"user_id", name}, {"username", name}};
}

std::pair<int, json> LocalService::call(const std::string& endpoint, std::string body_text) {
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
      {"upload", nullptr},
  };
  const auto handler = handlers.find(endpoint);
  if (handler == handlers.end()) return {404, {{"detail", "no endpoint /" + endpoint}}};
  try {
    // Nesting is checked on the text: the tree's copies and dumps recurse once per level.
    if (too_deep(body_text, limits_.max_depth)) {
      return {400,
              {{"detail", "the request is nested deeper than " + std::to_string(limits_.max_depth) +
                              " levels"}}};
    }
    // The key is read before anything is built from the text: a request with a wrong key costs
    // a scan of its bytes, whatever it holds. Only a small one is parsed, to say what is wrong.
    const auto owner = owner_in(body_text);
    if (!owner) {
      if (body_text.size() <= kExplainedBody) {
        const json body = json::parse(body_text, nullptr, false);
        if (body.is_discarded()) return {400, {{"detail", "malformed JSON"}}};
        if (!body.is_object()) {
          return {400, {{"detail", "the request body must be a JSON object"}}};
        }
      }
      return {401, {{"detail", "Invalid API key"}}};
    }
    // An upload's data is read where it lies in the request rather than copied into a tree.
    std::optional<std::pair<std::size_t, std::size_t>> data_at;
    if (endpoint == "upload") data_at = plain_string_member(body_text, "file_data");
    const std::string_view text(body_text);
    const std::size_t data_bytes = data_at ? data_at->second - data_at->first : 0;
    std::size_t cost = tree_cost(text) + data_bytes;    // the decoded data is a copy of its size
    if (endpoint == "search") cost += 4 * text.size();  // a query file, decoded and read
    const auto held = budget_.take(cost, std::chrono::milliseconds(limits_.inflight_wait_ms));
    if (!held) {
      if (cost > budget_.limit()) {
        throw ApiError(413, "LIMIT_EXCEEDED",
                       over_limit("the memory this request needs", cost, budget_.limit(),
                                  "--max-inflight-mb"));
      }
      throw ApiError(503, "BUSY", "the service is busy with other requests; try again");
    }
    json body;
    try {
      body = data_at ? json::parse(std::string(text.substr(0, data_at->first)) +
                                   std::string(text.substr(data_at->second)))
                     : json::parse(text);
    } catch (const json::exception& e) {
      return {400, {{"detail", std::string("malformed JSON: ") + e.what()}}};
    }
    if (!body.is_object()) return {400, {{"detail", "the request body must be a JSON object"}}};
    if (endpoint == "upload") {
      std::string_view file_data;
      if (data_at) {
        file_data = text.substr(data_at->first, data_at->second - data_at->first);
      } else if (body.contains("file_data") && body.at("file_data").is_string()) {
        file_data = body.at("file_data").get_ref<const std::string&>();
      } else {
        throw bad_request("member \"file_data\" must be a string");
      }
      return {200, upload(*owner, body, file_data)};
    }
    if (endpoint == "add_data_batch" && body.contains("string_ids")) {
      return {200, dense_batch(*owner, body, text)};
    }
    std::string().swap(body_text);  // the tree holds it all
    return {200, (this->*handler->second)(*owner, body)};
  } catch (const ApiError& e) {
    return {e.status, {{"detail", e.what()}, {"error_code", e.code}}};
  } catch (const std::exception& e) {
    return {400, {{"detail", e.what()}}};
  }
}

std::optional<std::string> LocalService::owner_in(std::string_view text) const {
  const auto span = member_span(text, "user_api_key");
  if (!span || text[span->first] != '"') return std::nullopt;
  const json key =
      json::parse(text.substr(span->first, span->second - span->first), nullptr, false);
  if (!key.is_string()) return std::nullopt;
  std::string owner = owner_of(key.get<std::string>());
  if (users_.count(owner) == 0) return std::nullopt;
  return owner;
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
            {"job_id", jobs_.submit(owner, "attach", dataset.id, index.id, details, {})}};
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
    return {{"success", true}};
  } catch (const ApiError& e) {
    return {{"success", false}, {"error_code", e.code}};
  }
}

json LocalService::add_data(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name"),
                    collection = text(body, "collection_name");
  const std::string id = text(body, "string_id");
  std::vector<VectorRecord> records{
      vector_from(body.contains("data") ? body.at("data") : json(), id)};
  if (body.contains("attributes")) records[0].attributes = body.at("attributes");
  try {
    store_records(store_.dataset(owner, project, collection), records, "");
    return {{"error_code", "Success"}};
  } catch (const ApiError& e) {
    if (is_bad_request(e)) throw;
    return error_answer(e);
  }
}

json LocalService::dense_batch(const std::string& owner, const json& body,
                               std::string_view request_text) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
  const json& data = array_member(body, "data");
  check_records(data.size(), limits_);
  const auto ids = texts(body, "string_ids");
  if (ids.size() != data.size()) {
    throw bad_request(std::to_string(ids.size()) + " string ids for " +
                      std::to_string(data.size()) + " vectors");
  }
  for (std::size_t i = 0; i < ids.size(); ++i) vector_from(data.at(i), ids[i]);
  // The checksum covers the bytes of "data" as they were sent. A client that wrote them in
  // another layout than it hashed (spaces, other number forms) is also served when its checksum
  // is that of the compact form.
  const auto span = member_span(request_text, "data");
  const std::string data_text =
      span ? std::string(request_text.substr(span->first, span->second - span->first))
           : data.dump();
  const std::string sent = optional_text(body, "checksum");
  std::string checksum = sha256_hex(data_text);
  if (checksum != sent && span) {
    const std::string compact = sha256_hex(data.dump());
    if (compact == sent) checksum = compact;
  }
  json details = {{"dataset", dataset_details(dataset)}};
  std::string payload;
  if (checksum != sent) {
    details["error"] = "checksum of \"data\" does not match";
  } else {
    const json attributes = body.contains("attributes") ? body.at("attributes") : json();
    payload = "{\"attributes\":" + attributes.dump() + ",\"data\":" + data_text +
              ",\"string_ids\":" + json(ids).dump() + "}";
  }
  return {{"checksum_server", checksum},
          {"job_id", jobs_.submit(owner, "batch", dataset.id, 0, details, {payload})}};
}

json LocalService::add_data_batch(const std::string& owner, const json& body) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "collection_name"));
  const json& data = array_member(body, "data");
  check_records(data.size(), limits_);
  const json attributes = body.contains("attributes") ? body.at("attributes") : json();
  const auto ids = texts(body, "string_id");  // sparse: one answer per vector
  json results = json::array();
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string id = i < ids.size() ? ids[i] : "";
    json result = {{"string_id", id}};
    try {
      if (id.empty()) throw ApiError(400, "MISSING_STRING_ID", "no string id for this vector");
      std::vector<VectorRecord> records{vector_from(data.at(i), id)};
      records[0].attributes = attributes_at(attributes, i);
      store_records(dataset, records, "");
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
  const std::string project = text(body, "project_name"),
                    collection = text(body, "collection_name");
  const auto ids = texts(body, "string_ids");
  check_records(ids.size(), limits_);
  try {
    const auto dataset = store_.dataset(owner, project, collection);
    const auto entry = live(dataset);
    std::lock_guard<std::mutex> write(entry->write_mutex);
    entry->ensure_loaded(store_);
    std::vector<std::int64_t> rows;
    {
      auto db = store_.pool().take();
      Transaction transaction(*db);
      rows = store_.remove(*db, dataset, ids);
      transaction.commit();
    }
    {
      std::unique_lock alone(entry->rows_mutex);
      entry->erase_rows(rows);
    }
    forget_in_graphs(*entry, rows);
    return {{"error_code", "Success"}};
  } catch (const ApiError& e) {
    return error_answer(e);
  }
}

json LocalService::search(const std::string& owner, const json& body) {
  const std::string project = text(body, "project_name");
  const auto dataset = store_.dataset(owner, project, text(body, "collection_name"));
  const auto index = store_.index(dataset, text(body, "index_name"));
  std::size_t top_k = 5;
  if (body.contains("top_k")) {
    if (!body.at("top_k").is_number_integer() || body.at("top_k").get<long long>() < 1 ||
        body.at("top_k").get<long long>() > 100000) {
      throw bad_request("top_k must be a whole number from 1 to 100000");
    }
    top_k = body.at("top_k").get<std::size_t>();
  }
  const VectorFilter filter = body.contains("filter") ? filter_from(body.at("filter")) : nullptr;
  const auto entry = live(dataset);
  if (needs_graph(*entry, index)) {
    // After a restart the graph is built again in the background; until then, exact scans.
    jobs_.post([this, entry, index] {
      std::lock_guard<std::mutex> write(entry->write_mutex);
      for (const auto& alive : store_.indices(entry->info.id)) {
        if (alive.id == index.id) {
          build_graph(*entry, index, jobs_.stopping());
          return;
        }
      }
      drop_graph(*entry, index.id);
    });
  }
  const std::string type = text(body, "query_type");
  auto check_answer = [&](std::size_t queries) {
    if (queries * top_k > limits_.max_results) {
      throw limit_error("queries x top_k", queries * top_k, limits_.max_results, "--max-results");
    }
  };
  if (type == "vector" || type == "row") {
    VectorRecord query;
    if (type == "vector") {
      query =
          vector_from(body.contains("query_vector") ? body.at("query_vector") : json(), "query");
    } else {
      if (!body.contains("row_number") || !body.at("row_number").is_number_unsigned()) {
        throw bad_request("member \"row_number\" must be a non-negative integer");
      }
      const auto row = body.at("row_number").get<std::uint64_t>();
      std::shared_lock shared(entry->rows_mutex);
      if (row >= entry->size()) {
        throw ApiError(404, "ROW_NOT_FOUND",
                       "row " + std::to_string(row) + " is beyond the dataset's " +
                           std::to_string(entry->size()) + " rows");
      }
      query = entry->record(row);
    }
    check_query(dataset, query, "the query vector");
    check_answer(1);
    return {{"results", neighbours_json(orvix_local::search(*entry, index, query, top_k, filter))}};
  }
  std::vector<VectorRecord> queries;
  std::vector<json> query_ids;
  if (type == "file") {
    queries = parse_query_file(base64_decode(text(body, "file_data")), text(body, "file_format"),
                               limits_);
    for (std::size_t i = 0; i < queries.size(); ++i) {
      check_query(dataset, queries[i], "query " + std::to_string(i + 1));
      query_ids.push_back(i);
    }
  } else if (type == "dataset") {
    const auto other = live(store_.dataset(owner, project, text(body, "query_dataset_name")));
    std::shared_lock shared(other->rows_mutex);
    check_answer(other->size());
    for (std::size_t p = 0; p < other->size(); ++p) {
      queries.push_back(other->record(p));
      check_query(dataset, queries.back(), "query '" + queries.back().id + "'");
      query_ids.push_back(queries.back().id);
    }
  } else {
    throw bad_request("query_type must be vector, row, file or dataset");
  }
  check_answer(queries.size());
  json results = json::array();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    results.push_back({{"query_vector_id", query_ids[i]},
                       {"matches", neighbours_json(orvix_local::search(*entry, index, queries[i],
                                                                       top_k, filter))}});
  }
  return {{"results", results}};
}

json LocalService::upload(const std::string& owner, const json& body, std::string_view file_data) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "dataset_name"));
  const std::string checksum = sha256_hex(file_data);
  json format = {
      {"file_format", text(body, "file_format")},
      {"has_field_names", !body.contains("has_field_names") || body.at("has_field_names") == true},
      {"vector_type", optional_text(body, "vector_type")},
      {"vector_id_field_name", optional_text(body, "vector_id_field_name")},
      {"vector_attributes", body.contains("vector_attributes") ? texts(body, "vector_attributes")
                                                               : std::vector<std::string>{}},
      {"vector_data_field_name", optional_text(body, "vector_data_field_name")},
      {"binary_dtype", optional_text(body, "binary_dtype")},
      {"has_ids", body.contains("string_id_txt")}};
  if (body.contains("binary_dim")) {
    if (!body.at("binary_dim").is_number_integer())
      throw bad_request("binary_dim must be an integer");
    const auto dim = body.at("binary_dim").get<long long>();
    if (dim < 0 || dim > 65536) throw bad_request("binary_dim must be from 0 to 65536");
    format["binary_dim"] = dim;
  }
  const std::string ids_text = optional_text(body, "string_id_txt");
  json details = {{"dataset", dataset_details(dataset)}, {"format", format}};
  std::string data, ids, header;
  if (checksum != optional_text(body, "checksum")) {
    details["error"] = "checksum of \"file_data\" does not match";
  } else {
    // Sizes are checked here, so that a shard that would be too large once decompressed is
    // refused at once; what is wrong inside it is the job's to report.
    try {
      data = base64_decode(file_data);
      ids = base64_decode(ids_text);
      const std::size_t size = gunzipped_size(data, limits_.max_shard_bytes);
      if (!ids.empty()) gunzipped_size(ids, limits_.max_shard_bytes);
      if (format.at("file_format") == "binary" && format.value("binary_dim", 0) > 0) {
        const std::size_t vector_bytes =
            static_cast<std::size_t>(format.at("binary_dim").get<int>()) *
            (format.at("binary_dtype") == "float32" ? 4 : 1);
        check_records(size / vector_bytes, limits_);
      }
      header = shard_header(data.size());
    } catch (const TooLarge& e) {
      throw ApiError(413, "LIMIT_EXCEEDED",
                     "the decompressed shard is over the limit of " + std::to_string(e.limit) +
                         " bytes (--max-shard-mb)");
    } catch (const ApiError&) {
      throw;
    } catch (const std::exception& e) {
      details["error"] = e.what();
    }
  }
  const std::vector<std::string_view> payload = {header, data, ids};
  return {{"checksum_server", checksum},
          {"job_id", jobs_.submit(owner, "upload", dataset.id, 0, details,
                                  header.empty() ? std::vector<std::string_view>{} : payload)}};
}

std::string LocalService::run_job(const Job& job) {
  const DatasetInfo dataset = dataset_of(job.details.at("dataset"));
  if (job.details.contains("error"))
    throw std::runtime_error(job.details.at("error").get<std::string>());
  if (job.kind == "attach") {
    const IndexInfo index = {job.index_id, job.details.at("index").at("name"),
                             job.details.at("index").at("dist_type"),
                             job.details.at("index").at("large")};
    const auto entry = live(dataset);
    std::lock_guard<std::mutex> write(entry->write_mutex);
    bool alive = false;
    for (const auto& found : store_.indices(dataset.id)) alive = alive || found.id == index.id;
    if (!alive)
      throw std::runtime_error("index '" + index.name + "' was deleted before it was built");
    entry->ensure_loaded(store_);
    try {
      if (!build_graph(*entry, index, jobs_.stopping())) throw Stopping();
    } catch (const Stopping&) {
      throw;
    } catch (const std::exception&) {
      drop_graph(*entry, index.id);  // the job fails and its index goes with it
      throw;
    }
    return "index '" + index.name + "' is ready";
  }
  std::vector<VectorRecord> records;
  if (job.kind == "batch") {
    const json batch = json::parse(read_file(job.payload_path));
    const auto& ids = batch.at("string_ids");
    const auto& data = batch.at("data");
    for (std::size_t i = 0; i < data.size(); ++i) {
      records.push_back(vector_from(data.at(i), ids.at(i).get<std::string>()));
      records.back().attributes = attributes_at(batch.at("attributes"), i);
    }
  } else {
    records = shard_records(job);
  }
  return store_records(dataset, records, job.id);
}

std::string LocalService::store_records(const DatasetInfo& dataset,
                                        std::vector<VectorRecord>& records,
                                        const std::string& job_id) {
  const auto entry = live(dataset);
  std::lock_guard<std::mutex> write(entry->write_mutex);
  entry->ensure_loaded(store_);
  const std::string message = "Inserted " + std::to_string(records.size()) + " vectors";
  try {
    auto db = store_.pool().take();
    Transaction transaction(*db);
    store_.insert(*db, dataset, records, &jobs_.stopping());
    if (!job_id.empty()) JobQueue::finish(*db, job_id, message);
    transaction.commit();
  } catch (const ApiError& e) {
    if (e.code == "DATASET_NOT_FOUND") live_.drop(dataset.id);
    throw;
  }
  std::vector<std::int64_t> rows;
  {
    std::unique_lock alone(entry->rows_mutex);
    for (auto& record : records) {
      rows.push_back(record.row);
      entry->append(std::move(record));
      std::vector<float>().swap(record.dense);  // memory goes back as it is copied
    }
  }
  records.clear();
  extend_graphs(*entry, rows, &jobs_.stopping());
  return message;
}

std::vector<VectorRecord> LocalService::shard_records(const Job& job) {
  const json& format = job.details.at("format");
  ShardFormat shape;
  shape.file_format = format.at("file_format");
  shape.has_field_names = format.at("has_field_names");
  shape.vector_type = format.at("vector_type");
  shape.id_field = format.at("vector_id_field_name");
  shape.attributes = format.at("vector_attributes").get<std::vector<std::string>>();
  shape.data_field = format.at("vector_data_field_name");
  shape.binary_dim = format.value("binary_dim", 0);
  shape.binary_dtype = format.at("binary_dtype");
  const bool has_ids = format.at("has_ids").get<bool>();
  InputFile input(job.payload_path);
  const std::size_t data_size = shard_size(input.read(8));
  std::vector<std::string> ids;
  if (has_ids) {
    input.seek(static_cast<long>(8 + data_size));
    ids = shard_ids(input.rest(), limits_);
    input.seek(8);
  }
  std::vector<VectorRecord> records;
  if (shape.file_format == "binary") {
    // Vectors are taken as they are decompressed: the raw shard is never held whole.
    BinaryRecords binary(shape.binary_dim, shape.binary_dtype, limits_);
    GzipReader reader(limits_.max_shard_bytes,
                      [&binary](const char* data, std::size_t n) { binary.feed(data, n); });
    input.stream(data_size, [this, &reader](std::string_view piece) {
      if (jobs_.stopping()) throw Stopping();
      reader.feed(piece);
    });
    reader.finish();
    records = binary.finish();
    return with_ids(std::move(records), has_ids ? &ids : nullptr);
  }
  const std::string text = gunzip(input.read(data_size), limits_.max_shard_bytes);
  return parse_records(text, shape, has_ids ? &ids : nullptr, limits_, &jobs_.stopping());
}

std::shared_ptr<LiveDataset> LocalService::live(const DatasetInfo& dataset) {
  auto entry = live_.get(dataset);
  if (!entry->loaded()) {
    std::lock_guard<std::mutex> write(entry->write_mutex);
    entry->ensure_loaded(store_);
  }
  return entry;
}

void LocalService::forget_datasets(const std::vector<std::int64_t>& ids) {
  for (const auto id : ids) live_.drop(id);
  jobs_.post([this] { store_.purge_orphans(); });
}

}  // namespace orvix_local
