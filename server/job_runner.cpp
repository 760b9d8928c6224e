// Orvix Local's jobs at work: attaching an index, storing a batch or a shard's records, and the
// live datasets they bring up to date.
#include "server/local_service.h"

#include "server/codec.h"
#include "server/csv_stream.h"
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
  if (job.kind == "batch") {
    const json batch = json::parse(read_job_input(job.payload_path));
    const auto& ids = batch.at("string_ids");
    const auto& data = batch.at("data");
    std::vector<VectorRecord> records;
    for (std::size_t i = 0; i < data.size(); ++i) {
      records.push_back(vector_from(data.at(i), ids.at(i).get<std::string>()));
      records.back().attributes = attributes_at(batch.at("attributes"), i);
    }
    return store_records(dataset, records, job.id);
  }
  // The feed holds the text its records point into until they are stored.
  std::shared_ptr<ShardFeed> feed = prefetch_.take(job.id);
  if (!feed) {
    feed = std::make_shared<ShardFeed>();
    read_shard(job, *feed);
    feed->end();
  }
  return store_records(
      dataset, [&feed](std::vector<VectorRecord>& batch) { return feed->next(batch); }, job.id);
}

std::string LocalService::store_records(const DatasetInfo& dataset,
                                        std::vector<VectorRecord>& records,
                                        const std::string& job_id) {
  bool given = false;
  const std::string message = store_records(
      dataset,
      [&](std::vector<VectorRecord>& batch) {
        if (given) return false;
        given = true;
        batch = std::move(records);
        return true;
      },
      job_id);
  records.clear();
  return message;
}

std::string LocalService::store_records(const DatasetInfo& dataset,
                                        const std::function<bool(std::vector<VectorRecord>&)>& next,
                                        const std::string& job_id) {
  const auto entry = live(dataset);
  std::lock_guard<std::mutex> write(entry->write_mutex);
  entry->ensure_loaded(store_);
  std::vector<std::vector<VectorRecord>> stored;
  std::size_t count = 0;
  std::string message;
  try {
    auto db = store_.pool().take();
    Transaction transaction(*db);
    std::optional<LargerCache> cache;  // once for all the batches of a shard
    for (std::vector<VectorRecord> batch; next(batch); batch = {}) {
      if (!cache && batch.size() >= kRowsAStatement) cache.emplace(*db);
      store_.insert(*db, dataset, batch, &jobs_.stopping());
      count += batch.size();
      stored.push_back(std::move(batch));
    }
    message = "Inserted " + std::to_string(count) + " vectors";
    if (!job_id.empty()) JobQueue::finish(*db, job_id, message);
    transaction.commit();
  } catch (const ApiError& e) {
    if (e.code == "DATASET_NOT_FOUND") live_.drop(dataset.id);
    throw;
  }
  std::vector<std::int64_t> rows;
  rows.reserve(count);
  {
    std::unique_lock alone(entry->rows_mutex);
    entry->make_room(count);
    for (auto& batch : stored) {
      for (auto& record : batch) {
        rows.push_back(record.row);
        // The values are in the dataset's file now: searches read them there.
        std::vector<float>().swap(record.dense);
        record.arrived = {};
        entry->append(std::move(record));
      }
    }
  }
  for (auto& batch : stored) record_batches_.give_back(std::move(batch));
  stored.clear();
  extend_graphs(*entry, rows, &jobs_.stopping());
  return message;
}

void LocalService::read_shard(const Job& job, ShardFeed& feed) {
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
  std::vector<std::string> ids;
  // Decompressed into memory kept from one shard to the next, which is not faulted in again.
  std::shared_ptr<std::string> text;
  auto take_text = [&] {
    text = texts_.take();
    feed.keep(text);
  };
  if (job.details.contains("input")) {
    const WindowedInput input(job.payload_path);
    const json& where = job.details.at("input");
    // Decodes and inflates one of the input's texts, where the job's details say it lies.
    auto inflate = [&](const char* name, auto&& out) {
      inflate_base64(input, where.at(name).at(0).get<std::size_t>(),
                     where.at(name).at(1).get<std::size_t>(), limits_.max_shard_bytes, out);
    };
    if (shape.file_format == "csv") {
      if (has_ids) {
        std::string ids_text;
        inflate("ids", ids_text);
        ids = shard_ids(ids_text, limits_);
      }
      CsvStream csv(
          shape, has_ids ? &ids : nullptr, limits_, &jobs_.stopping(), csv_blocks_, values_,
          [&feed](std::vector<VectorRecord> batch, std::shared_ptr<const void> block) {
            feed.keep(std::move(block));
            feed.add(std::move(batch));
          },
          &record_batches_);
      const auto& span = where.at("data");
      inflate_base64(
          input, span.at(0).get<std::size_t>(), span.at(1).get<std::size_t>(),
          limits_.max_shard_bytes,
          [&](const char* data, std::size_t n) {
            csv.append(data, n);
            if (jobs_.stopping()) throw Stopping();
          },
          [&csv] { return csv.room(); });
      csv.finish();
      return;
    }
    take_text();
    const auto stated = where.value("stated_size", std::size_t{0});
    reserve_populated(*text, std::min(stated, limits_.max_shard_bytes));
    if (shape.file_format == "binary" && shape.binary_dtype == "float32" && !has_ids) {
      // Handed on a batch at a time while the rest is decompressed. Records point into the
      // text, which therefore never grows past the room it had: what the gzip trailer did not
      // announce is copied out instead.
      const std::size_t vector_bytes = static_cast<std::size_t>(std::max(shape.binary_dim, 1)) * 4;
      const std::size_t batch_bytes =
          std::max(vector_bytes, limits_.feed_batch_bytes / vector_bytes * vector_bytes);
      BinaryRecords binary(shape.binary_dim, shape.binary_dtype, limits_, /*in_place=*/true,
                           &record_batches_, batch_bytes / vector_bytes);
      inflate("data", [&](const char* data, std::size_t n) {
        const bool staying = text->size() + n <= text->capacity();
        if (staying) {
          const std::size_t at = text->size();
          text->append(data, n);
          data = text->data() + at;
        }
        // Pieces end where a batch does, which its records then fill without growing.
        for (std::size_t done = 0; done < n;) {
          const std::size_t piece = std::min(n - done, batch_bytes - binary.ready() * vector_bytes);
          binary.feed(data + done, piece, staying);
          done += piece;
          if (binary.ready() * vector_bytes >= batch_bytes) feed.add(binary.take_ready());
        }
        if (jobs_.stopping()) throw Stopping();
      });
      feed.add(binary.finish());
      return;
    }
    inflate("data", *text);
    if (has_ids) {
      std::string ids_text;
      inflate("ids", ids_text);
      ids = shard_ids(ids_text, limits_);
    }
  } else {
    // Queued by an earlier version: the gzip of the shard, then the gzip of its ids.
    take_text();
    JobInput input(job.payload_path);
    const std::size_t data_size = shard_size(input.read(8));
    *text = gunzip(input.read(data_size), limits_.max_shard_bytes);
    if (has_ids) ids = shard_ids(gunzip(input.rest(), limits_.max_shard_bytes), limits_);
  }
  feed.add(parse_records(*text, shape, has_ids ? &ids : nullptr, limits_, &jobs_.stopping(),
                         /*in_place=*/true));
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
