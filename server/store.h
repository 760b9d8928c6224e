#pragma once
// Projects, datasets, vectors and index definitions of every user, kept in SQLite.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
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

struct VectorRecord {
  std::string id;
  std::vector<float> dense;
  std::vector<std::pair<std::uint32_t, float>> sparse;
  json attributes;  // an object, or null
};

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

// The vectors of one dataset in row order, as of one version of the dataset.
struct DatasetVectors {
  std::uint64_t version = 0;
  std::vector<VectorRecord> rows;
};

class Store {
 public:
  // An empty path keeps everything in memory.
  explicit Store(const std::string& path);

  void create_project(const std::string& owner, const std::string& name,
                      const std::string& application);
  json list_projects(const std::string& owner);
  bool delete_project(const std::string& owner, const std::string& name);

  void create_dataset(const std::string& owner, const std::string& project, const std::string& name,
                      const std::string& vector_type, int dim);
  DatasetInfo dataset(const std::string& owner, const std::string& project,
                      const std::string& name);
  json list_datasets(const std::string& owner, const std::string& project);
  bool delete_dataset(const std::string& owner, const std::string& project,
                      const std::string& name);

  // All or nothing: a vector of the wrong shape or a string id already in use stores none.
  void insert(const DatasetInfo& dataset, const std::vector<VectorRecord>& vectors);
  // Ids that are not there are reported; nothing is removed then.
  void remove(const DatasetInfo& dataset, const std::vector<std::string>& ids);
  std::shared_ptr<const DatasetVectors> vectors(const DatasetInfo& dataset);

  void create_index(const DatasetInfo& dataset, const std::string& name,
                    const std::string& dist_type, bool large);
  IndexInfo index(const DatasetInfo& dataset, const std::string& name);
  json list_indices(const DatasetInfo& dataset);
  bool delete_index(const DatasetInfo& dataset, const std::string& name);

 private:
  std::int64_t project_id(const std::string& owner, const std::string& name);
  void changed(std::int64_t dataset_id);

  std::mutex mutex_;
  Database db_;
  std::map<std::int64_t, std::uint64_t> versions_;
  std::map<std::int64_t, std::shared_ptr<const DatasetVectors>> cache_;
};

}  // namespace orvix_local
