#include "server/store.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "server/codec.h"
#include "server/vector_file.h"

namespace orvix_local {
namespace {

ApiError not_found(const std::string& code, const std::string& what) {
  return ApiError(404, code, what + " not found");
}

// The next id of a table: above every id it ever handed out, whether or not that row still
// exists, so a deleted project, dataset or index never lends its id to a new one.
std::int64_t next_id(Database& db, const std::string& table) {
  Statement stored(db, "SELECT next FROM sequences WHERE name = ?");
  const std::int64_t counter = stored.bind(1, table).step() ? stored.integer(0) : 1;
  Statement highest(db, ("SELECT COALESCE(MAX(id), 0) + 1 FROM " + table).c_str());
  highest.step();
  const std::int64_t id = std::max(counter, highest.integer(0));
  Statement save(db,
                 "INSERT INTO sequences(name, next) VALUES(?, ?) "
                 "ON CONFLICT(name) DO UPDATE SET next = excluded.next");
  save.bind(1, table).bind(2, id + 1).run();
  return id;
}

std::int64_t project_id(Database& db, const std::string& owner, const std::string& name) {
  Statement find(db, "SELECT id FROM projects WHERE owner = ? AND name = ?");
  find.bind(1, owner).bind(2, name);
  if (!find.step()) throw not_found("PROJECT_NOT_FOUND", "project '" + name + "'");
  return find.integer(0);
}

bool has_column(Database& db, const char* table, const char* column) {
  Statement find(db, "SELECT 1 FROM pragma_table_info(?) WHERE name = ?");
  return find.bind(1, std::string(table)).bind(2, std::string(column)).step();
}

// What a connection's cache is while a LargerCache lives (a fifth less time storing a shard's
// rows, measured at 2M vectors).
constexpr std::size_t kInsertCacheKiB = 64 << 10;

}  // namespace

LargerCache::LargerCache(Database& db) : db_(db) {
  Statement now(db, "PRAGMA cache_size");
  before_ = now.step() ? now.integer(0) : -2000;
  db.exec("PRAGMA cache_size = -" + std::to_string(kInsertCacheKiB));
}

LargerCache::~LargerCache() {
  try {
    db_.exec("PRAGMA cache_size = " + std::to_string(before_));
  } catch (const StorageError&) {
    // The connection keeps the larger cache; its memory is still bounded by it.
  }
}

namespace {

// `given`: some ids came with the records (the others are their row numbers, which are unique).
void check_records(const DatasetInfo& dataset, const std::vector<VectorRecord>& records,
                   bool given) {
  std::unordered_set<std::string_view> seen;
  if (given) seen.reserve(records.size());
  for (const auto& v : records) {
    if (given && !seen.insert(v.id).second) {
      throw ApiError(400, "DUPLICATE_STRING_ID", "string id '" + v.id + "' is given twice");
    }
    const auto dense = v.dense_values();
    if (dataset.sparse() != dense.empty() && !(dense.empty() && v.sparse.empty())) {
      throw ApiError(400, "VECTOR_TYPE_MISMATCH",
                     "vector '" + v.id + "' is not " + (dataset.sparse() ? "sparse" : "dense") +
                         " like dataset '" + dataset.name + "'");
    }
    if (!dataset.sparse() && static_cast<int>(dense.size()) != dataset.dim) {
      throw ApiError(400, "DIMENSION_MISMATCH",
                     "vector '" + v.id + "' has " + std::to_string(dense.size()) +
                         " values; dataset '" + dataset.name + "' has dimension " +
                         std::to_string(dataset.dim));
    }
  }
}

}  // namespace

std::string owner_of(const std::string& api_key) {
  return sha256_hex(api_key);
}

Store::Store(const std::string& path, std::string vectors_dir)
    : pool_(path), vectors_dir_(std::move(vectors_dir)) {
  ::mkdir(vectors_dir_.c_str(), 0700);
  migrate();
}

void Store::migrate() {
  auto db = pool_.take();
  Transaction transaction(*db);
  db->exec(R"sql(
    CREATE TABLE IF NOT EXISTS projects(
      id INTEGER PRIMARY KEY, owner TEXT NOT NULL, name TEXT NOT NULL, application TEXT NOT NULL,
      UNIQUE(owner, name));
    CREATE TABLE IF NOT EXISTS datasets(
      id INTEGER PRIMARY KEY, project_id INTEGER NOT NULL,
      name TEXT NOT NULL, vector_type TEXT NOT NULL, dim INTEGER NOT NULL,
      UNIQUE(project_id, name));
    CREATE TABLE IF NOT EXISTS vectors(
      dataset_id INTEGER NOT NULL,
      row INTEGER NOT NULL, string_id TEXT NOT NULL, dense BLOB, sparse TEXT, attributes TEXT,
      PRIMARY KEY(dataset_id, string_id));
    CREATE INDEX IF NOT EXISTS vectors_by_row ON vectors(dataset_id, row);
    CREATE TABLE IF NOT EXISTS indices(
      id INTEGER PRIMARY KEY, dataset_id INTEGER NOT NULL,
      name TEXT NOT NULL, dist_type TEXT NOT NULL, large INTEGER NOT NULL,
      UNIQUE(dataset_id, name));
    CREATE TABLE IF NOT EXISTS sequences(name TEXT PRIMARY KEY, next INTEGER NOT NULL);
    CREATE TABLE IF NOT EXISTS jobs(
      id TEXT PRIMARY KEY, seq INTEGER NOT NULL, owner TEXT NOT NULL, kind TEXT NOT NULL,
      status TEXT NOT NULL, message TEXT NOT NULL DEFAULT '', error TEXT NOT NULL DEFAULT '',
      dataset_id INTEGER, index_id INTEGER, details TEXT NOT NULL DEFAULT '{}');
  )sql");
  // Databases of earlier versions: datasets learn their counts, owners become key hashes.
  if (!has_column(*db, "datasets", "vector_count")) {
    db->exec(R"sql(
      ALTER TABLE datasets ADD COLUMN vector_count INTEGER NOT NULL DEFAULT 0;
      ALTER TABLE datasets ADD COLUMN bytes INTEGER NOT NULL DEFAULT 0;
      ALTER TABLE datasets ADD COLUMN next_row INTEGER NOT NULL DEFAULT 0;
      UPDATE datasets SET
        vector_count = (SELECT COUNT(*) FROM vectors v WHERE v.dataset_id = datasets.id),
        next_row = (SELECT COALESCE(MAX(v.row) + 1, 0) FROM vectors v
                    WHERE v.dataset_id = datasets.id);
    )sql");
  }
  Statement version(*db, "PRAGMA user_version");
  version.step();
  if (version.integer(0) < 2) {
    std::vector<std::string> owners;
    Statement list(*db, "SELECT DISTINCT owner FROM projects");
    while (list.step()) owners.push_back(list.text(0));
    Statement rename(*db, "UPDATE projects SET owner = ? WHERE owner = ?");
    for (const auto& owner : owners) {
      rename.reset();
      rename.bind(1, owner_of(owner)).bind(2, owner).run();
    }
    db->exec("PRAGMA user_version = 2");
  }
  if (version.integer(0) < 3) {
    // Sizes are bytes; earlier versions subtracted characters on removal.
    db->exec(R"sql(
      UPDATE datasets SET bytes = (SELECT COALESCE(SUM(LENGTH(v.dense) +
          LENGTH(CAST(COALESCE(v.sparse, '') AS BLOB)) +
          LENGTH(CAST(COALESCE(v.attributes, '') AS BLOB)) + LENGTH(CAST(v.string_id AS BLOB))), 0)
        FROM vectors v WHERE v.dataset_id = datasets.id);
      PRAGMA user_version = 3;
    )sql");
  }
  transaction.commit();
}

void Store::create_project(const std::string& owner, const std::string& name,
                           const std::string& application) {
  auto db = pool_.take();
  Transaction transaction(*db);
  Statement exists(*db, "SELECT 1 FROM projects WHERE owner = ? AND name = ?");
  if (exists.bind(1, owner).bind(2, name).step()) {
    throw ApiError(409, "PROJECT_EXISTS", "project '" + name + "' already exists");
  }
  Statement insert(*db, "INSERT INTO projects(id, owner, name, application) VALUES(?, ?, ?, ?)");
  insert.bind(1, next_id(*db, "projects")).bind(2, owner).bind(3, name).bind(4, application).run();
  transaction.commit();
}

json Store::list_projects(const std::string& owner) {
  auto db = pool_.take();
  Statement list(*db, "SELECT id, name, application FROM projects WHERE owner = ? ORDER BY id");
  list.bind(1, owner);
  json projects = json::array();
  while (list.step()) {
    projects.push_back({{"project_id", list.integer(0)},
                        {"project_name", list.text(1)},
                        {"application", list.text(2)}});
  }
  return projects;
}

std::optional<std::vector<std::int64_t>> Store::delete_project(const std::string& owner,
                                                               const std::string& name) {
  auto db = pool_.take();
  Transaction transaction(*db);
  Statement find(*db, "SELECT id FROM projects WHERE owner = ? AND name = ?");
  if (!find.bind(1, owner).bind(2, name).step()) return std::nullopt;
  const auto project = find.integer(0);
  std::vector<std::int64_t> datasets;
  Statement list(*db, "SELECT id FROM datasets WHERE project_id = ?");
  list.bind(1, project);
  while (list.step()) datasets.push_back(list.integer(0));
  Statement indices(*db,
                    "DELETE FROM indices WHERE dataset_id IN "
                    "(SELECT id FROM datasets WHERE project_id = ?)");
  indices.bind(1, project).run();
  Statement drop_datasets(*db, "DELETE FROM datasets WHERE project_id = ?");
  drop_datasets.bind(1, project).run();
  Statement drop(*db, "DELETE FROM projects WHERE id = ?");
  drop.bind(1, project).run();
  transaction.commit();
  return datasets;
}

void Store::create_dataset(const std::string& owner, const std::string& project,
                           const std::string& name, const std::string& vector_type, int dim) {
  auto db = pool_.take();
  Transaction transaction(*db);
  const auto project_key = project_id(*db, owner, project);
  Statement exists(*db, "SELECT 1 FROM datasets WHERE project_id = ? AND name = ?");
  if (exists.bind(1, project_key).bind(2, name).step()) {
    throw ApiError(409, "DATASET_EXISTS", "dataset '" + name + "' already exists");
  }
  Statement insert(*db,
                   "INSERT INTO datasets(id, project_id, name, vector_type, dim) "
                   "VALUES(?, ?, ?, ?, ?)");
  insert.bind(1, next_id(*db, "datasets"))
      .bind(2, project_key)
      .bind(3, name)
      .bind(4, vector_type)
      .bind(5, dim)
      .run();
  transaction.commit();
}

DatasetInfo Store::dataset(const std::string& owner, const std::string& project,
                           const std::string& name) {
  auto db = pool_.take();
  const auto project_key = project_id(*db, owner, project);
  Statement find(
      *db, "SELECT id, name, vector_type, dim FROM datasets WHERE project_id = ? AND name = ?");
  find.bind(1, project_key).bind(2, name);
  if (!find.step()) throw not_found("DATASET_NOT_FOUND", "dataset '" + name + "'");
  return {find.integer(0), find.text(1), find.text(2), static_cast<int>(find.integer(3))};
}

json Store::list_datasets(const std::string& owner, const std::string& project) {
  auto db = pool_.take();
  const auto project_key = project_id(*db, owner, project);
  Statement list(*db,
                 "SELECT name, dim, vector_count, bytes FROM datasets WHERE project_id = ? "
                 "ORDER BY id");
  list.bind(1, project_key);
  json datasets = json::array();
  while (list.step()) {
    datasets.push_back({{"name", list.text(0)},
                        {"dimension", std::string("(").append(std::to_string(list.integer(2))) +
                                          ", " + std::to_string(list.integer(1)) + ")"},
                        {"size", list.integer(3)}});
  }
  return datasets;
}

std::optional<std::int64_t> Store::delete_dataset(const std::string& owner,
                                                  const std::string& project,
                                                  const std::string& name) {
  auto db = pool_.take();
  Transaction transaction(*db);
  const auto project_key = project_id(*db, owner, project);
  Statement find(*db, "SELECT id FROM datasets WHERE project_id = ? AND name = ?");
  if (!find.bind(1, project_key).bind(2, name).step()) return std::nullopt;
  const auto id = find.integer(0);
  Statement indices(*db, "DELETE FROM indices WHERE dataset_id = ?");
  indices.bind(1, id).run();
  Statement remove(*db, "DELETE FROM datasets WHERE id = ?");
  remove.bind(1, id).run();
  transaction.commit();
  return id;
}

IndexInfo Store::create_index(const DatasetInfo& dataset, const std::string& name,
                              const std::string& dist_type, bool large) {
  auto db = pool_.take();
  Transaction transaction(*db);
  Statement alive(*db, "SELECT 1 FROM datasets WHERE id = ?");
  if (!alive.bind(1, dataset.id).step()) {
    throw not_found("DATASET_NOT_FOUND", "dataset '" + dataset.name + "'");
  }
  Statement exists(*db, "SELECT 1 FROM indices WHERE dataset_id = ? AND name = ?");
  if (exists.bind(1, dataset.id).bind(2, name).step()) {
    throw ApiError(409, "INDEX_EXISTS", "index '" + name + "' already exists");
  }
  const auto id = next_id(*db, "indices");
  Statement insert(*db,
                   "INSERT INTO indices(id, dataset_id, name, dist_type, large) "
                   "VALUES(?, ?, ?, ?, ?)");
  insert.bind(1, id)
      .bind(2, dataset.id)
      .bind(3, name)
      .bind(4, dist_type)
      .bind(5, large ? 1 : 0)
      .run();
  transaction.commit();
  return {id, name, dist_type, large};
}

IndexInfo Store::index(const DatasetInfo& dataset, const std::string& name) {
  auto db = pool_.take();
  Statement find(
      *db, "SELECT id, name, dist_type, large FROM indices WHERE dataset_id = ? AND name = ?");
  if (!find.bind(1, dataset.id).bind(2, name).step()) {
    throw not_found("INDEX_NOT_FOUND", "index '" + name + "'");
  }
  return {find.integer(0), find.text(1), find.text(2), find.integer(3) != 0};
}

std::vector<IndexInfo> Store::indices(std::int64_t dataset_id) {
  auto db = pool_.take();
  Statement list(*db, "SELECT id, name, dist_type, large FROM indices WHERE dataset_id = ?");
  list.bind(1, dataset_id);
  std::vector<IndexInfo> found;
  while (list.step()) {
    found.push_back({list.integer(0), list.text(1), list.text(2), list.integer(3) != 0});
  }
  return found;
}

std::vector<std::pair<DatasetInfo, IndexInfo>> Store::large_indices() {
  auto db = pool_.take();
  Statement list(*db,
                 "SELECT d.id, d.name, d.vector_type, d.dim, i.id, i.name, i.dist_type "
                 "FROM indices i JOIN datasets d ON d.id = i.dataset_id WHERE i.large != 0");
  std::vector<std::pair<DatasetInfo, IndexInfo>> found;
  while (list.step()) {
    found.push_back(
        {{list.integer(0), list.text(1), list.text(2), static_cast<int>(list.integer(3))},
         {list.integer(4), list.text(5), list.text(6), true}});
  }
  return found;
}

json Store::list_indices(const DatasetInfo& dataset) {
  auto db = pool_.take();
  Statement list(*db, "SELECT name, dist_type FROM indices WHERE dataset_id = ? ORDER BY id");
  list.bind(1, dataset.id);
  json infos = json::array();
  while (list.step()) infos.push_back(json::array({list.text(0), list.text(1)}));
  return infos;
}

std::optional<std::int64_t> Store::delete_index(const DatasetInfo& dataset,
                                                const std::string& name) {
  auto db = pool_.take();
  Transaction transaction(*db);
  Statement find(*db, "SELECT id FROM indices WHERE dataset_id = ? AND name = ?");
  if (!find.bind(1, dataset.id).bind(2, name).step()) return std::nullopt;
  const auto id = find.integer(0);
  Statement remove(*db, "DELETE FROM indices WHERE id = ?");
  remove.bind(1, id).run();
  transaction.commit();
  return id;
}

void Store::insert(Database& db, const DatasetInfo& dataset, std::vector<VectorRecord>& records,
                   const std::atomic<bool>* stop) {
  Statement state(db, "SELECT next_row FROM datasets WHERE id = ?");
  if (!state.bind(1, dataset.id).step()) {
    throw ApiError(404, "DATASET_NOT_FOUND",
                   "dataset '" + dataset.name + "' was deleted; nothing was stored");
  }
  const std::int64_t first_row = state.integer(0);
  std::int64_t row = first_row;
  bool given = false;
  for (auto& v : records) {
    v.row = row++;
    given = given || !v.id.empty();
    if (v.id.empty()) v.id = std::to_string(v.row);
  }
  check_records(dataset, records, given);
  std::int64_t bytes = 0;
  // A dense dataset's values go to its value file, while the rows, which keep a NULL in their
  // place, go to the table; both are done before the caller commits.
  std::vector<const float*> values;
  if (!dataset.sparse()) {
    values.reserve(records.size());
    for (const auto& v : records) values.push_back(v.dense_values().data());
  }
  const std::string file = vector_file(dataset.id);
  const auto write = [&] { write_vector_rows(file, first_row, dataset.dim, values); };
  std::future<void> written;
  if (values.size() < kRowsAStatement) {
    write();  // a few vectors (add_data): not worth a thread
  } else {
    try {
      written = std::async(std::launch::async, write);
    } catch (const std::system_error&) {
      write();  // no thread to be had: written here first
    }
  }
  // Rows go in kRowsAStatement to a statement, which spares most of a statement's own cost.
  // That statement is OR FAIL: one that could undo its own rows alone (the default, ABORT) makes
  // SQLite copy every page it touches to a statement journal first, some 5 GB of writes to a
  // temporary file a GiB of float32. Nothing is lost: a failed insert undoes the whole
  // transaction.
  const std::string columns =
      "INTO vectors(dataset_id, row, string_id, dense, sparse, "
      "attributes) VALUES(?, ?, ?, NULL, ?, ?)";
  Statement one(db, ("INSERT " + columns).c_str());
  std::optional<Statement> many;
  if (records.size() >= kRowsAStatement) {
    std::string insert_many = "INSERT OR FAIL " + columns;
    for (std::size_t i = 1; i < kRowsAStatement; ++i) insert_many += ", (?, ?, ?, NULL, ?, ?)";
    many.emplace(db, insert_many.c_str());
  }
  // Binds a record at the statement's `at`-th row; its size in bytes.
  const auto bind = [&](Statement& statement, int at, const VectorRecord& v) {
    const int first = at * 5;
    statement.bind(first + 1, dataset.id).bind(first + 2, v.row).bind_unchanged(first + 3, v.id);
    std::size_t size = v.dense_values().size() * sizeof(float) + v.id.size();
    if (dataset.sparse()) {
      const std::string sparse = json(v.sparse).dump();
      statement.bind(first + 4, sparse);
      size += sparse.size();
    } else {
      statement.bind_null(first + 4);
    }
    if (v.attributes.is_null()) {
      statement.bind_null(first + 5);
    } else {
      const std::string attributes = v.attributes.dump();
      statement.bind(first + 5, attributes);
      size += attributes.size();
    }
    return static_cast<std::int64_t>(size);
  };
  for (std::size_t done = 0; done < records.size();) {
    if (stop && stop->load()) throw Stopping();
    const std::size_t count = records.size() - done >= kRowsAStatement ? kRowsAStatement : 1;
    Statement& statement = count == 1 ? one : *many;
    statement.reset();
    std::int64_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
      size += bind(statement, static_cast<int>(i), records[done + i]);
    }
    try {
      statement.run();
    } catch (const StorageError& e) {
      if (e.code != SQLITE_CONSTRAINT) throw;
      // The ids of one insert differ from each other, so the id in use is the statement's first
      // whose stored row is not the row it was given; rows before it may have gone in.
      Statement find(db, "SELECT row FROM vectors WHERE dataset_id = ? AND string_id = ?");
      for (std::size_t i = 0; i < count; ++i) {
        const VectorRecord& v = records[done + i];
        find.reset();
        find.bind(1, dataset.id).bind_unchanged(2, v.id);
        if (find.step() && find.integer(0) != v.row) {
          throw ApiError(409, "DUPLICATE_STRING_ID", "string id '" + v.id + "' is already in use");
        }
      }
      throw;
    }
    bytes += size;
    done += count;
  }
  Statement update(db,
                   "UPDATE datasets SET next_row = ?, vector_count = vector_count + ?, "
                   "bytes = bytes + ? WHERE id = ?");
  update.bind(1, first_row + static_cast<std::int64_t>(records.size()))
      .bind(2, static_cast<std::int64_t>(records.size()))
      .bind(3, bytes)
      .bind(4, dataset.id)
      .run();
  if (written.valid()) written.get();
}

std::vector<std::int64_t> Store::remove(Database& db, const DatasetInfo& dataset,
                                        const std::vector<std::string>& ids) {
  std::vector<std::int64_t> rows;
  std::int64_t bytes = 0;
  // A NULL value means the values are in the dataset's file.
  const std::int64_t dense_bytes = dataset.sparse() ? 0 : dataset.dim * std::int64_t{4};
  Statement one(db,
                "DELETE FROM vectors WHERE dataset_id = ? AND string_id = ? RETURNING row, "
                "COALESCE(LENGTH(dense), ?) + LENGTH(CAST(COALESCE(sparse, '') AS BLOB)) + "
                "LENGTH(CAST(COALESCE(attributes, '') AS BLOB)) + LENGTH(CAST(string_id AS BLOB))");
  for (const auto& id : ids) {
    one.reset();
    if (!one.bind(1, dataset.id).bind(2, id).bind(3, dense_bytes).step()) {
      throw ApiError(404, "STRING_ID_NOT_FOUND", "string id '" + id + "' not found");
    }
    rows.push_back(one.integer(0));
    bytes += one.integer(1);
    one.run();
  }
  Statement update(db,
                   "UPDATE datasets SET vector_count = vector_count - ?, bytes = bytes - ? "
                   "WHERE id = ?");
  update.bind(1, static_cast<std::int64_t>(rows.size())).bind(2, bytes).bind(3, dataset.id).run();
  return rows;
}

void Store::load(std::int64_t dataset_id, const std::function<void(VectorRecord&&)>& each) {
  auto db = pool_.take();
  Statement list(*db,
                 "SELECT row, string_id, dense, sparse, attributes FROM vectors "
                 "WHERE dataset_id = ? ORDER BY row");
  list.bind(1, dataset_id);
  while (list.step()) {
    VectorRecord record;
    record.row = list.integer(0);
    record.id = list.text(1);
    // NULL: the values are in the dataset's file (or it is sparse).
    if (!list.is_null(2)) {
      record.dense.resize(list.blob_size(2) / sizeof(float));
      if (!record.dense.empty()) {
        std::memcpy(record.dense.data(), list.blob_data(2), record.dense.size() * sizeof(float));
      }
    }
    if (!list.is_null(3)) record.sparse = json::parse(list.text(3)).get<SparseValues>();
    if (!list.is_null(4)) record.attributes = json::parse(list.text(4));
    each(std::move(record));
  }
}

std::string Store::vector_file(std::int64_t dataset_id) const {
  return vector_file_path(vectors_dir_, dataset_id);
}

void Store::purge_orphans() {
  // The files are listed before the datasets are: a file that exists belongs to a dataset that
  // existed when it was written, and ids never come back, so a file whose dataset is not listed
  // after it is one whose dataset is gone.
  std::vector<std::pair<std::int64_t, std::filesystem::path>> files;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(vectors_dir_, ignored)) {
    const auto name = entry.path().filename().string();
    if (entry.path().extension() == ".f32") files.emplace_back(std::atoll(name.c_str()), entry);
  }
  auto db = pool_.take();
  db->exec("DELETE FROM vectors WHERE dataset_id NOT IN (SELECT id FROM datasets)");
  Statement exists(*db, "SELECT 1 FROM datasets WHERE id = ?");
  for (const auto& [id, path] : files) {
    exists.reset();
    if (!exists.bind(1, id).step()) std::filesystem::remove(path, ignored);
  }
}

}  // namespace orvix_local
