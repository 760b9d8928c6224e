#pragma once
// Projects, datasets, index definitions and vectors of every user, kept in SQLite; a dense
// dataset's values are kept in a file of its own beside it (vector_file.h). Owners are
// hashes of API keys. Row ids of projects, datasets and indices are never reused, so nothing
// that outlives one (a queued job, a search graph) can reach another's data. Datasets keep their
// vector count, size and next row number up to date, so listing them costs nothing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "server/sqlite_db.h"

namespace orvix_local {

using json = nlohmann::json;

// A failure the API reports: an HTTP status, a machine-readable code and a text.
struct ApiError : std::runtime_error {
  ApiError(int status_code, std::string error_code, const std::string& text)
      : std::runtime_error(text), status(status_code), code(std::move(error_code)) {}
  int status;
  std::string code;
};

// Raised inside a job's work when the service is stopping; the job's transaction rolls back and
// the job runs again at the next start.
struct Stopping : std::runtime_error {
  Stopping() : std::runtime_error("the service is stopping") {}
};

using SparseValues = std::vector<std::pair<std::uint32_t, float>>;

struct VectorRecord {
  std::string id;
  std::vector<float> dense;
  // Or the values where they arrived, in a shard's text that outlives the record (ShardFeed);
  // copying them out would cost an allocation a vector.
  std::span<const float> arrived;
  std::span<const float> dense_values() const {
    return dense.empty() ? arrived : std::span<const float>(dense);
  }
  SparseValues sparse;
  json attributes;        // an object, or null
  std::int64_t row = -1;  // the dataset's row number, given when the record is stored
};

// A shard's rows go into indices of millions of entries, the ids' one in no particular order:
// with SQLite's usual 2 MB of cache, most rows read their index pages from the file again. While
// one of these lives the connection's cache is larger, then back to what it was. The caller of
// Store::insert holds one across the batches of a shard.
class LargerCache {
 public:
  explicit LargerCache(Database& db);
  ~LargerCache();
  LargerCache(const LargerCache&) = delete;
  LargerCache& operator=(const LargerCache&) = delete;

 private:
  Database& db_;
  std::int64_t before_;
};

// Vectors stored by one INSERT statement; fewer make a small insert.
inline constexpr std::size_t kRowsAStatement = 32;

struct DatasetInfo {
  std::int64_t id = 0;
  std::string name;
  std::string vector_type;
  int dim = 0;
  bool sparse() const { return vector_type == "sparse"; }
};

struct IndexInfo {
  std::int64_t id = 0;
  std::string name;
  std::string dist_type;
  bool large = false;  // served by an approximate graph rather than an exact scan
};

class Store {
 public:
  // `path`: the database; `vectors_dir`: the directory of the datasets' value files.
  Store(const std::string& path, std::string vectors_dir);

  ConnectionPool& pool() { return pool_; }

  void create_project(const std::string& owner, const std::string& name,
                      const std::string& application);
  json list_projects(const std::string& owner);
  // The ids of the datasets that went with the project; nullopt when there was no such project.
  std::optional<std::vector<std::int64_t>> delete_project(const std::string& owner,
                                                          const std::string& name);

  void create_dataset(const std::string& owner, const std::string& project, const std::string& name,
                      const std::string& vector_type, int dim);
  DatasetInfo dataset(const std::string& owner, const std::string& project,
                      const std::string& name);
  json list_datasets(const std::string& owner, const std::string& project);
  std::optional<std::int64_t> delete_dataset(const std::string& owner, const std::string& project,
                                             const std::string& name);

  IndexInfo create_index(const DatasetInfo& dataset, const std::string& name,
                         const std::string& dist_type, bool large);
  IndexInfo index(const DatasetInfo& dataset, const std::string& name);
  std::vector<IndexInfo> indices(std::int64_t dataset_id);
  json list_indices(const DatasetInfo& dataset);
  std::optional<std::int64_t> delete_index(const DatasetInfo& dataset, const std::string& name);
  // Every large index, with its dataset.
  std::vector<std::pair<DatasetInfo, IndexInfo>> large_indices();

  // Inside the caller's write transaction: checks that the dataset still exists, gives each
  // record its row number (and records without an id the row number as id) and stores them.
  // A string id already in use throws; the caller's rollback then stores nothing. Throws
  // Stopping when `stop` is raised part way. The caller sizes the connection's cache (LargerCache).
  void insert(Database& db, const DatasetInfo& dataset, std::vector<VectorRecord>& records,
              const std::atomic<bool>* stop = nullptr);
  // Inside the caller's write transaction: the row numbers removed. An id that is not there
  // throws STRING_ID_NOT_FOUND.
  std::vector<std::int64_t> remove(Database& db, const DatasetInfo& dataset,
                                   const std::vector<std::string>& ids);
  // Every stored vector of a dataset in row order. A dense record without values has them in
  // the dataset's value file.
  void load(std::int64_t dataset_id, const std::function<void(VectorRecord&&)>& each);
  // The value file of a dense dataset.
  std::string vector_file(std::int64_t dataset_id) const;
  // Drops the stored vectors, and value files, of datasets that no longer exist.
  void purge_orphans();

 private:
  void migrate();

  ConnectionPool pool_;
  std::string vectors_dir_;
};

// The stored form of an owner: the SHA-256 of the API key, in hex.
std::string owner_of(const std::string& api_key);

}  // namespace orvix_local
