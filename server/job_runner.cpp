// Orvix Local's jobs at work: attaching an index, storing a batch or a shard's records, and the
// live datasets they bring up to date.
#include "server/local_service.h"

#include "server/codec.h"
#include "server/graph.h"
#include "server/job_inputs.h"
#include "server/large_memory.h"
#include "server/request_fields.h"
#include "server/search_engine.h"
#include "server/shard_records.h"

namespace orvix_local {

std::string LocalService::run_job(const Job& job) {
  const DatasetInfo dataset = dataset_of(job.details.at("dataset"));
  if (job.details.contains("error"))
    throw std::runtime_error(job.details.at("error").get<std::string>());
  if (job.kind == "attach") {
    const IndexInfo index = {job.index_id, job.details.at("index").at("name"),
                             job.details.at("index").at("dist_type"),
                             job.details.at("index").at("large")};
    bool alive = false;
    for (const auto& found : store_.indices(dataset.id)) alive = alive || found.id == index.id;
    if (!alive)
      throw std::runtime_error("index '" + index.name + "' was deleted before it was built");
    if (!index.large || dataset.sparse() || !uses_graph(index.dist_type)) {
      return "index '" + index.name + "' is ready";
    }
    // Built on the graph builder's thread, which settles the job: other jobs, and writes to the
    // dataset, go on meanwhile.
    graphs_.add({live(dataset), index, job.id, false});
    throw Deferred();
  }
  ShardRecords shard;  // its text lives until the records are stored
  if (job.kind == "batch") {
    const json batch = json::parse(read_job_input(job.payload_path));
    const auto& ids = batch.at("string_ids");
    const auto& data = batch.at("data");
    for (std::size_t i = 0; i < data.size(); ++i) {
      shard.records.push_back(vector_from(data.at(i), ids.at(i).get<std::string>()));
      shard.records.back().attributes = attributes_at(batch.at("attributes"), i);
    }
  } else if (auto read_ahead = prefetch_.take(job.id)) {
    shard = std::move(*read_ahead);
  } else {
    shard = shard_records(job);
  }
  return store_records(dataset, shard.records, job.id);
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
      // The values are in the dataset's file now: searches read them there.
      std::vector<float>().swap(record.dense);
      record.arrived = {};
      entry->append(std::move(record));
    }
  }
  records.clear();
  extend_graphs(*entry, rows, &jobs_.stopping());
  return message;
}

ShardRecords LocalService::shard_records(const Job& job) {
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
  // Decompressed into memory kept from one shard to the next, which is not faulted in again.
  std::shared_ptr<std::string> text = texts_.take();
  std::vector<std::string> ids;
  if (job.details.contains("input")) {
    const MappedInput input(job.payload_path);
    const json& where = job.details.at("input");
    auto span = [&](const char* name) {
      const auto begin = where.at(name).at(0).get<std::size_t>();
      const auto end = where.at(name).at(1).get<std::size_t>();
      if (begin > end || end > input.bytes().size()) {
        throw std::runtime_error("the job's input is damaged");
      }
      return input.bytes().substr(begin, end - begin);
    };
    const auto stated = where.value("stated_size", std::size_t{0});
    if (text->capacity() < stated) text->reserve(std::min(stated, limits_.max_shard_bytes));
    inflate_base64(span("data"), limits_.max_shard_bytes, *text);
    if (has_ids) {
      std::string ids_text;
      inflate_base64(span("ids"), limits_.max_shard_bytes, ids_text);
      ids = shard_ids(ids_text, limits_);
    }
  } else {
    // Queued by an earlier version: the gzip of the shard, then the gzip of its ids.
    JobInput input(job.payload_path);
    const std::size_t data_size = shard_size(input.read(8));
    *text = gunzip(input.read(data_size), limits_.max_shard_bytes);
    if (has_ids) ids = shard_ids(gunzip(input.rest(), limits_.max_shard_bytes), limits_);
  }
  auto records = parse_records(*text, shape, has_ids ? &ids : nullptr, limits_, &jobs_.stopping(),
                               /*in_place=*/true);
  return {std::move(records), std::move(text)};
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
