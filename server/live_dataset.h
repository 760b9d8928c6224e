#pragma once
// The vectors of a dataset held in memory for searching, loaded from the store on first use and
// kept in step with it by every writer. Dense values are read where the store keeps them, the
// dataset's value file, mapped a window of rows at a time: the page cache that writing them
// filled is what searches read, so they take no second copy and no time to load. Values that
// earlier versions kept in SQLite are copied into fixed-size blocks. Each large index's graph
// belongs to its dataset's entry and goes with it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "server/large_memory.h"
#include "server/rw_lock.h"
#include "server/store.h"
#include "server/vector_file.h"

namespace orvix_local {

struct Graph;  // a large index's search graph (search_engine.cpp)

class LiveDataset {
 public:
  explicit LiveDataset(DatasetInfo info);

  const DatasetInfo info;
  // Held by every writer across its SQLite transaction and the update of memory, so memory
  // follows the store's commit order. Graph builds hold it too.
  std::mutex write_mutex;
  // Searches share it; appending and erasing rows take it alone.
  mutable WriterFirstMutex rows_mutex;

  // Under write_mutex: loads the stored vectors once.
  void ensure_loaded(Store& store);
  bool loaded() const { return loaded_.load(); }

  // Under rows_mutex, exclusively. A dense record without values has them in the value file,
  // which must hold them already; a StorageError says it does not.
  void append(VectorRecord&& record);
  // Room for `more` records past those held, ahead of appending them: grown to twice the room
  // at least, as a vector grows, but faulted in at once.
  void make_room(std::size_t more);
  void erase_rows(const std::vector<std::int64_t>& rows);

  // Under rows_mutex, shared.
  std::size_t size() const { return ids_.size(); }
  const std::vector<std::int64_t>& rows() const { return rows_; }
  const float* dense(std::size_t position) const { return values_[position]; }
  const SparseValues& sparse(std::size_t position) const;
  const std::string& id(std::size_t position) const { return ids_[position]; }
  const json& attributes(std::size_t position) const;
  std::int64_t row(std::size_t position) const { return rows_[position]; }
  std::optional<std::size_t> position_of_row(std::int64_t row) const;
  VectorRecord record(std::size_t position) const;

  // The graphs of this dataset's large indices, by index id. A ready graph is only ever replaced
  // whole (searches keep the one they took); one is built at a time per index.
  struct GraphSlot {
    std::shared_ptr<Graph> ready;
    bool building = false;
    bool requested = false;                       // a build (or a load from disk) is queued
    std::vector<std::int64_t> removed_meanwhile;  // rows removed while a graph was built
  };
  std::mutex graphs_mutex;
  std::map<std::int64_t, GraphSlot> graphs;

 private:
  const float* in_file(std::int64_t row);
  const float* copied(const std::vector<float>& values);
  void clear();

  std::atomic<bool> loaded_{false};
  std::string file_;  // the value file
  std::size_t file_size_ = 0;
  std::size_t rows_per_window_;
  std::vector<std::unique_ptr<ValueWindow>> windows_;  // by row / rows_per_window_
  std::size_t rows_per_block_;
  std::vector<std::unique_ptr<float[], FreeDeleter>> blocks_;  // values copied from SQLite
  std::size_t copied_ = 0;
  std::vector<const float*> values_;  // each position's values
  std::vector<std::int64_t> rows_;    // ascending
  std::vector<std::string> ids_;
  // Empty while no row has attributes (most datasets), else one a position.
  std::vector<json> attributes_;
  std::vector<SparseValues> sparse_;  // a sparse dataset's only
};

// The live entries of every dataset in use.
class LiveDatasets {
 public:
  std::shared_ptr<LiveDataset> get(const DatasetInfo& info);
  // The dataset is gone: its memory and graphs are freed once the last search lets go.
  void drop(std::int64_t dataset_id);
  std::vector<std::shared_ptr<LiveDataset>> all();

 private:
  std::mutex mutex_;
  std::map<std::int64_t, std::shared_ptr<LiveDataset>> datasets_;
};

}  // namespace orvix_local
