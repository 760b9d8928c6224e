// Orvix Local's endpoints for vectors: inserts, batches, removals, searches and upload shards.
#include "server/local_service.h"

#include "server/codec.h"
#include "server/graph.h"
#include "server/job_inputs.h"
#include "server/json_outline.h"
#include "server/request_fields.h"
#include "server/search_engine.h"
#include "server/shard_records.h"
#include "server/vector_file.h"

namespace orvix_local {

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
                               std::string_view request_text, const JsonOutline& outline) {
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
  const auto span = outline.member("data");
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
          {"job_id", jobs_.submit(owner, "batch", dataset.id, 0, details,
                                  std::vector<std::string_view>{payload})}};
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
    if (!dataset.sparse()) release_vector_rows(store_.vector_file(dataset.id), dataset.dim, rows);
    // A graph crowded with removed rows is built again, without them.
    for (const auto stale : forget_in_graphs(*entry, rows)) {
      for (const auto& index : store_.indices(dataset.id)) {
        if (index.id != stale) continue;
        want_new_graph(*entry, stale);
        graphs_.add({entry, index, "", false});
      }
    }
    return {{"error_code", "Success"}};
  } catch (const ApiError& e) {
    return error_answer(e);
  }
}

std::string LocalService::search(const std::string& owner, const json& body,
                                 MemoryBudget::Reservation& held) {
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
    // After a restart the graph is read back, or built again, in the background; until then,
    // exact scans.
    graphs_.add({entry, index, "", true});
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
    return "{\"results\":" +
           answer_text(neighbours_json(orvix_local::search(*entry, index, query, top_k, filter))) +
           "}";
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
  // The answer is written as text, query by query: as a tree it would take some 600 bytes a
  // query and 650 a match, where its text takes a tenth of that. What the text takes counts
  // against the memory budget before it is written.
  reserve(held, queries.size() * (kAnswerBytesPerQuery + top_k * kAnswerBytesPerMatch));
  std::string answer = "{\"results\":[";
  for (std::size_t i = 0; i < queries.size(); ++i) {
    // Members in the order the library writes them: by name.
    answer += i == 0 ? "{\"matches\":" : ",{\"matches\":";
    answer +=
        answer_text(neighbours_json(orvix_local::search(*entry, index, queries[i], top_k, filter)));
    answer += ",\"query_vector_id\":" + answer_text(query_ids[i]) + "}";
  }
  answer += "]}";
  return answer;
}

json LocalService::upload(const std::string& owner, const json& body,
                          const UploadText& upload_text) {
  const auto dataset =
      store_.dataset(owner, text(body, "project_name"), text(body, "dataset_name"));
  // The base64 members where they lie in the text, or as the parser read them.
  auto member = [&](const char* name, const auto& span) -> std::string_view {
    if (span) return upload_text.text.substr(span->first, span->second - span->first);
    if (!body.contains(name)) return {};
    if (!body.at(name).is_string()) {
      throw bad_request("member \"" + std::string(name) + "\" must be a string");
    }
    return body.at(name).get_ref<const std::string&>();
  };
  if (!body.contains("file_data")) throw bad_request("member \"file_data\" must be a string");
  const std::string_view file_data = member("file_data", upload_text.data);
  const std::string_view ids_text = member("string_id_txt", upload_text.ids);
  // The digest taken while the body arrived, when its outline was read then.
  std::string checksum;
  if (upload_text.data && upload_text.outline != nullptr) {
    checksum = upload_text.outline->digest().value_or("");
  }
  if (checksum.empty()) checksum = sha256_hex(file_data);
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
  json details = {{"dataset", dataset_details(dataset)}, {"format", format}};
  std::optional<StagedInput> input;
  if (checksum != optional_text(body, "checksum")) {
    details["error"] = "checksum of \"file_data\" does not match";
  } else {
    // A shard whose gzip trailer says it is too large once decompressed is refused at once; one
    // whose trailer lies fails its job at the same limit. What is wrong inside it is the job's
    // to report.
    const std::size_t stated = stated_gzip_size(file_data);
    if (stated > limits_.max_shard_bytes || stated_gzip_size(ids_text) > limits_.max_shard_bytes) {
      throw ApiError(413, "LIMIT_EXCEEDED",
                     "the decompressed shard is over the limit of " +
                         std::to_string(limits_.max_shard_bytes) + " bytes (--max-shard-mb)");
    }
    if (format.at("file_format") == "binary" && format.value("binary_dim", 0) > 0) {
      const std::size_t vector_bytes =
          static_cast<std::size_t>(format.at("binary_dim").get<int>()) *
          (format.at("binary_dtype") == "float32" ? 4 : 1);
      check_records(stated / vector_bytes, limits_);
    }
    // The job reads the base64 from a file: the request's own, when it was spooled and holds
    // both texts plainly; otherwise the two written out.
    const bool whole = upload_text.spooled != nullptr && *upload_text.spooled && upload_text.data &&
                       (upload_text.ids || ids_text.empty());
    std::pair<std::size_t, std::size_t> data_span, ids_span;
    if (whole) {
      input.emplace(StagedInput::adopt(upload_text.spooled->release()));
      data_span = *upload_text.data;
      ids_span = upload_text.ids ? *upload_text.ids : std::pair<std::size_t, std::size_t>{};
    } else {
      input.emplace(jobs_.stage());
      input->write(file_data);
      input->write(ids_text);
      data_span = {0, file_data.size()};
      ids_span = {file_data.size(), file_data.size() + ids_text.size()};
    }
    details["input"] = {{"data", {data_span.first, data_span.second}},
                        {"ids", {ids_span.first, ids_span.second}},
                        {"stated_size", stated}};
  }
  // Its records are read while the job before it is stored. They are offered before an idle
  // worker can take the job, which would otherwise read them itself while the read ahead did too.
  std::function<void(const std::string&)> read_ahead;
  if (input) {
    read_ahead = [&](const std::string& job_id) {
      Job job{job_id, "upload", dataset.id, 0, details, jobs_.input_path(job_id)};
      prefetch_.offer(job_id, [this, job](ShardFeed& feed) { read_shard(job, feed); });
    };
  }
  const std::string id =
      jobs_.submit(owner, "upload", dataset.id, 0, details, std::move(input), read_ahead);
  return {{"checksum_server", checksum}, {"job_id", id}};
}

}  // namespace orvix_local
