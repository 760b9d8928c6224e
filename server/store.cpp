#include "server/store.h"

#include <cstring>
#include <set>

namespace orvix_local {
namespace {

ApiError not_found(const std::string& code, const std::string& what) {
  return ApiError(404, code, what + " not found");
}

std::string dense_blob(const std::vector<float>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

}  // namespace

Store::Store(const std::string& path) : db_(path) {
  if (!path.empty()) db_.exec("PRAGMA journal_mode=WAL");
  db_.exec("PRAGMA foreign_keys=ON");
  db_.exec(R"sql(
    CREATE TABLE IF NOT EXISTS projects(
      id INTEGER PRIMARY KEY, owner TEXT NOT NULL, name TEXT NOT NULL, application TEXT NOT NULL,
      UNIQUE(owner, name));
    CREATE TABLE IF NOT EXISTS datasets(
      id INTEGER PRIMARY KEY, project_id INTEGER NOT NULL REFERENCES projects(id) ON DELETE CASCADE,
      name TEXT NOT NULL, vector_type TEXT NOT NULL, dim INTEGER NOT NULL,
      UNIQUE(project_id, name));
    CREATE TABLE IF NOT EXISTS vectors(
      dataset_id INTEGER NOT NULL REFERENCES datasets(id) ON DELETE CASCADE,
      row INTEGER NOT NULL, string_id TEXT NOT NULL, dense BLOB, sparse TEXT, attributes TEXT,
      PRIMARY KEY(dataset_id, string_id));
    CREATE INDEX IF NOT EXISTS vectors_by_row ON vectors(dataset_id, row);
    CREATE TABLE IF NOT EXISTS indices(
      id INTEGER PRIMARY KEY, dataset_id INTEGER NOT NULL REFERENCES datasets(id) ON DELETE CASCADE,
      name TEXT NOT NULL, dist_type TEXT NOT NULL, large INTEGER NOT NULL,
      UNIQUE(dataset_id, name));
  )sql");
}

std::int64_t Store::project_id(const std::string& owner, const std::string& name) {
  Statement find(db_, "SELECT id FROM projects WHERE owner = ? AND name = ?");
  find.bind(1, owner).bind(2, name);
  if (!find.step()) throw not_found("PROJECT_NOT_FOUND", "project '" + name + "'");
  return find.integer(0);
}

void Store::changed(std::int64_t dataset_id) {
  ++versions_[dataset_id];
  cache_.erase(dataset_id);
}

void Store::create_project(const std::string& owner, const std::string& name,
                           const std::string& application) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement exists(db_, "SELECT 1 FROM projects WHERE owner = ? AND name = ?");
  if (exists.bind(1, owner).bind(2, name).step()) {
    throw ApiError(409, "PROJECT_EXISTS", "project '" + name + "' already exists");
  }
  Statement insert(db_, "INSERT INTO projects(owner, name, application) VALUES(?, ?, ?)");
  insert.bind(1, owner).bind(2, name).bind(3, application).run();
}

json Store::list_projects(const std::string& owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement list(db_, "SELECT id, name, application FROM projects WHERE owner = ? ORDER BY id");
  list.bind(1, owner);
  json projects = json::array();
  while (list.step()) {
    projects.push_back({{"project_id", list.integer(0)},
                        {"project_name", list.text(1)},
                        {"application", list.text(2)}});
  }
  return projects;
}

bool Store::delete_project(const std::string& owner, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement datasets(db_,
                     "SELECT d.id FROM datasets d JOIN projects p ON d.project_id = p.id "
                     "WHERE p.owner = ? AND p.name = ?");
  datasets.bind(1, owner).bind(2, name);
  std::vector<std::int64_t> ids;
  while (datasets.step()) ids.push_back(datasets.integer(0));
  Statement remove(db_, "DELETE FROM projects WHERE owner = ? AND name = ?");
  remove.bind(1, owner).bind(2, name).run();
  for (auto id : ids) changed(id);
  return sqlite3_changes(db_.get()) > 0;
}

void Store::create_dataset(const std::string& owner, const std::string& project,
                           const std::string& name, const std::string& vector_type, int dim) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto project_key = project_id(owner, project);
  Statement exists(db_, "SELECT 1 FROM datasets WHERE project_id = ? AND name = ?");
  if (exists.bind(1, project_key).bind(2, name).step()) {
    throw ApiError(409, "DATASET_EXISTS", "dataset '" + name + "' already exists");
  }
  Statement insert(db_,
                   "INSERT INTO datasets(project_id, name, vector_type, dim) VALUES(?, ?, ?, ?)");
  insert.bind(1, project_key).bind(2, name).bind(3, vector_type).bind(4, dim).run();
}

DatasetInfo Store::dataset(const std::string& owner, const std::string& project,
                           const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto project_key = project_id(owner, project);
  Statement find(
      db_, "SELECT id, name, vector_type, dim FROM datasets WHERE project_id = ? AND name = ?");
  find.bind(1, project_key).bind(2, name);
  if (!find.step()) throw not_found("DATASET_NOT_FOUND", "dataset '" + name + "'");
  return {find.integer(0), find.text(1), find.text(2), static_cast<int>(find.integer(3))};
}

json Store::list_datasets(const std::string& owner, const std::string& project) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto project_key = project_id(owner, project);
  Statement list(db_,
                 "SELECT d.name, d.dim, COUNT(v.string_id), "
                 "COALESCE(SUM(LENGTH(v.dense) + LENGTH(COALESCE(v.sparse, '')) + "
                 "LENGTH(COALESCE(v.attributes, '')) + LENGTH(v.string_id)), 0) "
                 "FROM datasets d LEFT JOIN vectors v ON v.dataset_id = d.id "
                 "WHERE d.project_id = ? GROUP BY d.id ORDER BY d.id");
  list.bind(1, project_key);
  json datasets = json::array();
  while (list.step()) {
    datasets.push_back({{"name", list.text(0)},
                        {"dimension", "(" + std::to_string(list.integer(2)) + ", " +
                                          std::to_string(list.integer(1)) + ")"},
                        {"size", list.integer(3)}});
  }
  return datasets;
}

bool Store::delete_dataset(const std::string& owner, const std::string& project,
                           const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto project_key = project_id(owner, project);
  Statement find(db_, "SELECT id FROM datasets WHERE project_id = ? AND name = ?");
  if (!find.bind(1, project_key).bind(2, name).step()) return false;
  const auto id = find.integer(0);
  Statement remove(db_, "DELETE FROM datasets WHERE id = ?");
  remove.bind(1, id).run();
  changed(id);
  return true;
}

void Store::insert(const DatasetInfo& dataset, const std::vector<VectorRecord>& vectors) {
  std::set<std::string> seen;
  for (const auto& v : vectors) {
    if (!seen.insert(v.id).second) {
      throw ApiError(400, "DUPLICATE_STRING_ID", "string id '" + v.id + "' is given twice");
    }
    if (dataset.sparse() != v.dense.empty() && !(v.dense.empty() && v.sparse.empty())) {
      throw ApiError(400, "VECTOR_TYPE_MISMATCH",
                     "vector '" + v.id + "' is not " + (dataset.sparse() ? "sparse" : "dense") +
                         " like dataset '" + dataset.name + "'");
    }
    if (!dataset.sparse() && static_cast<int>(v.dense.size()) != dataset.dim) {
      throw ApiError(400, "DIMENSION_MISMATCH",
                     "vector '" + v.id + "' has " + std::to_string(v.dense.size()) +
                         " values; dataset '" + dataset.name + "' has dimension " +
                         std::to_string(dataset.dim));
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction transaction(db_);
  Statement next_row(db_, "SELECT COALESCE(MAX(row) + 1, 0) FROM vectors WHERE dataset_id = ?");
  next_row.bind(1, dataset.id).step();
  std::int64_t row = next_row.integer(0);
  Statement check(db_, "SELECT 1 FROM vectors WHERE dataset_id = ? AND string_id = ?");
  Statement one(db_,
                "INSERT INTO vectors(dataset_id, row, string_id, dense, sparse, attributes) "
                "VALUES(?, ?, ?, ?, ?, ?)");
  for (const auto& v : vectors) {
    check.reset();
    if (check.bind(1, dataset.id).bind(2, v.id).step()) {
      throw ApiError(409, "DUPLICATE_STRING_ID", "string id '" + v.id + "' is already in use");
    }
    one.reset();
    one.bind(1, dataset.id).bind(2, row++).bind(3, v.id);
    const std::string blob = dense_blob(v.dense);
    one.bind_blob(4, blob.data(), blob.size());
    if (dataset.sparse()) {
      one.bind(5, json(v.sparse).dump());
    } else {
      one.bind_null(5);
    }
    if (v.attributes.is_null()) {
      one.bind_null(6);
    } else {
      one.bind(6, v.attributes.dump());
    }
    one.run();
  }
  transaction.commit();
  changed(dataset.id);
}

void Store::remove(const DatasetInfo& dataset, const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction transaction(db_);
  for (const auto& id : ids) {
    Statement one(db_, "DELETE FROM vectors WHERE dataset_id = ? AND string_id = ?");
    one.bind(1, dataset.id).bind(2, id).run();
    if (sqlite3_changes(db_.get()) == 0) {
      throw ApiError(404, "STRING_ID_NOT_FOUND", "string id '" + id + "' not found");
    }
  }
  transaction.commit();
  changed(dataset.id);
}

std::shared_ptr<const DatasetVectors> Store::vectors(const DatasetInfo& dataset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto cached = cache_.find(dataset.id); cached != cache_.end()) return cached->second;
  auto loaded = std::make_shared<DatasetVectors>();
  loaded->version = versions_[dataset.id];
  Statement list(db_,
                 "SELECT string_id, dense, sparse, attributes FROM vectors WHERE dataset_id = ? "
                 "ORDER BY row");
  list.bind(1, dataset.id);
  while (list.step()) {
    VectorRecord record;
    record.id = list.text(0);
    const std::string blob = list.blob(1);
    record.dense.resize(blob.size() / sizeof(float));
    if (!record.dense.empty()) {
      std::memcpy(record.dense.data(), blob.data(), record.dense.size() * sizeof(float));
    }
    if (!list.is_null(2)) {
      record.sparse = json::parse(list.text(2)).get<std::vector<std::pair<std::uint32_t, float>>>();
    }
    if (!list.is_null(3)) record.attributes = json::parse(list.text(3));
    loaded->rows.push_back(std::move(record));
  }
  cache_[dataset.id] = loaded;
  return loaded;
}

void Store::create_index(const DatasetInfo& dataset, const std::string& name,
                         const std::string& dist_type, bool large) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement exists(db_, "SELECT 1 FROM indices WHERE dataset_id = ? AND name = ?");
  if (exists.bind(1, dataset.id).bind(2, name).step()) {
    throw ApiError(409, "INDEX_EXISTS", "index '" + name + "' already exists");
  }
  Statement insert(db_,
                   "INSERT INTO indices(dataset_id, name, dist_type, large) VALUES(?, ?, ?, ?)");
  insert.bind(1, dataset.id).bind(2, name).bind(3, dist_type).bind(4, large ? 1 : 0).run();
}

IndexInfo Store::index(const DatasetInfo& dataset, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement find(
      db_, "SELECT id, name, dist_type, large FROM indices WHERE dataset_id = ? AND name = ?");
  if (!find.bind(1, dataset.id).bind(2, name).step()) {
    throw not_found("INDEX_NOT_FOUND", "index '" + name + "'");
  }
  return {find.integer(0), find.text(1), find.text(2), find.integer(3) != 0};
}

json Store::list_indices(const DatasetInfo& dataset) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement list(db_, "SELECT name, dist_type FROM indices WHERE dataset_id = ? ORDER BY id");
  list.bind(1, dataset.id);
  json infos = json::array();
  while (list.step()) infos.push_back(json::array({list.text(0), list.text(1)}));
  return infos;
}

bool Store::delete_index(const DatasetInfo& dataset, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement remove(db_, "DELETE FROM indices WHERE dataset_id = ? AND name = ?");
  remove.bind(1, dataset.id).bind(2, name).run();
  return sqlite3_changes(db_.get()) > 0;
}

}  // namespace orvix_local
