#include "server/graph.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <thread>

#include "server/codec.h"
#include "server/rw_lock.h"

// This hnswlib's SSE path prefetches one entry past the end of a full link list; the four bytes
// lie inside malloc's rounding of the list, but AddressSanitizer rightly reports them, so
// sanitizer builds take the portable path.
#if defined(__SANITIZE_ADDRESS__)
#define NO_MANUAL_VECTORIZATION
#endif
#include <hnswlib/hnswlib.h>

namespace orvix_local {

struct Graph {
  WriterFirstMutex mutex;  // searches share it; changing the graph takes it alone
  std::string dist;
  std::unique_ptr<hnswlib::SpaceInterface<float>> space;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
  bool dirty = false;  // changed since it was last kept on disk (under `mutex`, alone)
};

namespace {

// The vector a graph holds for a row: Cosine graphs hold unit vectors.
std::vector<float> graph_vector(const std::string& dist, const float* values, std::size_t dim) {
  std::vector<float> out(values, values + dim);
  if (dist != "Cosine") return out;
  double norm = 0;
  for (std::size_t i = 0; i < dim; ++i) norm += static_cast<double>(values[i]) * values[i];
  norm = std::sqrt(norm);
  if (norm > 0) {
    for (auto& v : out) v = static_cast<float>(v / norm);
  }
  return out;
}

constexpr std::size_t kLinks = 16, kBuildEf = 200, kSearchEf = 128;
// Normalised vectors crowd together on the sphere: at the same ef a Cosine graph found 0.70 of
// the true top 10 where an L2 one found 0.84 (20,000 x 128 Gaussian); twice the ef finds 0.88.
constexpr std::size_t kCosineSearchEf = 256;
// Rows a thread copies out (under the rows' lock) and adds at a time.
constexpr std::size_t kChunk = 256;
// A graph is built again once this share of its points are removed rows (and at least kFewest).
constexpr std::size_t kRemovedShare = 4, kFewest = 64;

std::shared_ptr<Graph> new_graph(const std::string& dist, std::size_t dim, std::size_t capacity) {
  auto graph = std::make_shared<Graph>();
  graph->dist = dist;
  if (dist == "L2") {
    graph->space = std::make_unique<hnswlib::L2Space>(dim);
  } else {
    graph->space = std::make_unique<hnswlib::InnerProductSpace>(dim);
  }
  graph->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(
      graph->space.get(), std::max<std::size_t>(capacity, 1024), kLinks, kBuildEf);
  graph->index->setEf(dist == "Cosine" ? kCosineSearchEf : kSearchEf);
  return graph;
}

// Room for `more` points; the caller has the graph alone.
void make_room(Graph& graph, std::size_t more) {
  const std::size_t needed = graph.index->cur_element_count + more;
  if (needed > graph.index->max_elements_) {
    graph.index->resizeIndex(std::max(needed, graph.index->max_elements_ * 2));
  }
}

// Adds the rows still in the dataset to the graph, from every core (the library's insertion is
// safe to run from several threads); nobody else changes the graph meanwhile. With `lock_rows`
// each chunk is copied out under the rows' lock, so writers go on between chunks; without it the
// caller keeps writers out. False when `stop` was raised part way.
bool add_rows(Graph& graph, const LiveDataset& dataset, const std::vector<std::int64_t>& rows,
              const std::atomic<bool>* stop, bool lock_rows) {
  const auto dim = static_cast<std::size_t>(dataset.info.dim);
  const std::size_t chunks = (rows.size() + kChunk - 1) / kChunk;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};
  auto work = [&] {
    std::vector<float> values;
    std::vector<std::int64_t> labels;
    for (std::size_t c; !stopped && (c = next.fetch_add(1)) < chunks;) {
      if (stop != nullptr && stop->load()) {
        stopped = true;
        return;
      }
      values.clear();
      labels.clear();
      {
        std::shared_lock<WriterFirstMutex> shared(dataset.rows_mutex, std::defer_lock);
        if (lock_rows) shared.lock();
        for (std::size_t i = c * kChunk; i < std::min(rows.size(), (c + 1) * kChunk); ++i) {
          const auto position = dataset.position_of_row(rows[i]);
          if (!position) continue;  // removed meanwhile
          const auto vector = graph_vector(graph.dist, dataset.dense(*position), dim);
          values.insert(values.end(), vector.begin(), vector.end());
          labels.push_back(rows[i]);
        }
      }
      for (std::size_t i = 0; i < labels.size(); ++i) {
        graph.index->addPoint(values.data() + i * dim, static_cast<hnswlib::labeltype>(labels[i]));
      }
    }
  };
  const std::size_t threads =
      std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), chunks);
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();
  return !stopped;
}

std::shared_ptr<Graph> ready_graph(LiveDataset& dataset, std::int64_t index_id) {
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  const auto found = dataset.graphs.find(index_id);
  return found == dataset.graphs.end() ? nullptr : found->second.ready;
}

std::vector<std::pair<std::int64_t, std::shared_ptr<Graph>>> ready_graphs(LiveDataset& dataset) {
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  std::vector<std::pair<std::int64_t, std::shared_ptr<Graph>>> found;
  for (const auto& [id, slot] : dataset.graphs) {
    if (slot.ready) found.emplace_back(id, slot.ready);
  }
  return found;
}

// What a graph covers: how many rows and the SHA-256 of their numbers. Under the rows' lock.
nlohmann::json coverage(const LiveDataset& dataset) {
  const auto& rows = dataset.rows();
  std::string bytes(rows.size() * sizeof(std::int64_t), '\0');
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t b = 0; b < 8; ++b) {
      bytes[i * 8 + b] = static_cast<char>((static_cast<std::uint64_t>(rows[i]) >> (8 * b)) & 0xff);
    }
  }
  return {{"rows", rows.size()}, {"digest", sha256_hex(bytes)}};
}

// hnswlib's own reader asks the file for its position twice per point (two system calls each,
// about 0.4 s per million points) and takes the neighbour lists as they are. This one reads
// saveIndex's layout in one buffered pass and checks every size and every neighbour against the
// points the file holds; nullptr when the file is not a whole graph of `space`'s vectors.
std::unique_ptr<hnswlib::HierarchicalNSW<float>> read_saved_graph(
    hnswlib::SpaceInterface<float>& space, const std::string& path, std::size_t room) {
  using Index = hnswlib::HierarchicalNSW<float>;
  using hnswlib::tableint;
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  const std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
  struct stat info {};
  if (!file || ::fstat(::fileno(file.get()), &info) != 0) return nullptr;
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);
  auto read = [&](auto& value) { return std::fread(&value, sizeof value, 1, file.get()) == 1; };

  // The constructor that loads nothing leaves every member unset: the ones the destructor reads
  // are set before anything can fail.
  auto index = std::make_unique<Index>(&space);
  index->data_level0_memory_ = nullptr;
  index->linkLists_ = nullptr;
  index->visited_list_pool_ = nullptr;
  index->cur_element_count = 0;
  index->num_deleted_ = 0;
  std::size_t count = 0;
  if (!read(index->offsetLevel0_) || !read(index->max_elements_) || !read(count) ||
      !read(index->size_data_per_element_) || !read(index->label_offset_) ||
      !read(index->offsetData_) || !read(index->maxlevel_) || !read(index->enterpoint_node_) ||
      !read(index->maxM_) || !read(index->maxM0_) || !read(index->M_) || !read(index->mult_) ||
      !read(index->ef_construction_)) {
    return nullptr;
  }
  index->data_size_ = space.get_data_size();
  index->fstdistfunc_ = space.get_dist_func();
  index->dist_func_param_ = space.get_dist_func_param();
  index->size_links_per_element_ =
      index->maxM_ * sizeof(tableint) + sizeof(hnswlib::linklistsizeint);
  index->size_links_level0_ = index->maxM0_ * sizeof(tableint) + sizeof(hnswlib::linklistsizeint);
  const std::size_t per_point = index->size_data_per_element_;
  const std::uint64_t bytes = static_cast<std::uint64_t>(info.st_size);
  if (index->offsetLevel0_ != 0 || index->maxM_ == 0 || index->maxM_ > 10000 ||
      index->maxM0_ == 0 || index->maxM0_ > 20000 ||
      index->offsetData_ != index->size_links_level0_ ||
      index->label_offset_ != index->offsetData_ + index->data_size_ ||
      per_point != index->label_offset_ + sizeof(hnswlib::labeltype) || count > bytes / per_point ||
      count > std::numeric_limits<tableint>::max() || !(index->mult_ > 0) ||
      (count == 0) != (index->maxlevel_ < 0) || (count > 0 && index->enterpoint_node_ >= count)) {
    return nullptr;
  }
  const std::size_t capacity = std::max(room, count);
  index->max_elements_ = capacity;
  index->data_level0_memory_ = static_cast<char*>(std::malloc(capacity * per_point));
  index->linkLists_ = static_cast<char**>(std::malloc(sizeof(void*) * capacity));
  if (index->data_level0_memory_ == nullptr || index->linkLists_ == nullptr) return nullptr;
  if (count > 0 && std::fread(index->data_level0_memory_, per_point, count, file.get()) != count) {
    return nullptr;
  }
  std::vector<int>(capacity).swap(index->element_levels_);
  // A point's neighbours on one level: at most `most`, each a point of the file.
  auto sound = [&](const char* list, std::size_t most) {
    const auto* entries = reinterpret_cast<const unsigned int*>(list);
    const std::size_t listed = *reinterpret_cast<const unsigned short*>(list);
    if (listed > most) return false;
    for (std::size_t j = 1; j <= listed; ++j) {
      if (entries[j] >= count) return false;
    }
    return true;
  };
  index->label_lookup_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char* point = index->data_level0_memory_ + i * per_point;
    if (!sound(point, index->maxM0_)) return nullptr;
    hnswlib::labeltype label;
    std::memcpy(&label, point + index->label_offset_, sizeof label);
    index->label_lookup_[label] = static_cast<tableint>(i);
    unsigned int size = 0;
    if (!read(size) || size % index->size_links_per_element_ != 0 ||
        size / index->size_links_per_element_ > static_cast<std::size_t>(index->maxlevel_)) {
      return nullptr;
    }
    // The destructor frees the upper lists of the points it counts that have a level.
    index->linkLists_[i] = nullptr;
    index->cur_element_count = i + 1;
    if (size > 0) {
      index->linkLists_[i] = static_cast<char*>(std::malloc(size));
      if (index->linkLists_[i] == nullptr) return nullptr;
      index->element_levels_[i] = static_cast<int>(size / index->size_links_per_element_);
      if (std::fread(index->linkLists_[i], 1, size, file.get()) != size) return nullptr;
      for (std::size_t at = 0; at < size; at += index->size_links_per_element_) {
        if (!sound(index->linkLists_[i] + at, index->maxM_)) return nullptr;
      }
    }
  }
  if (std::fgetc(file.get()) != EOF ||
      (count > 0 && index->element_levels_[index->enterpoint_node_] != index->maxlevel_)) {
    return nullptr;
  }
  std::vector<std::mutex>(capacity).swap(index->link_list_locks_);
  std::vector<std::mutex>(Index::max_update_element_locks).swap(index->link_list_update_locks_);
  index->visited_list_pool_ = new hnswlib::VisitedListPool(1, static_cast<int>(capacity));
  index->revSize_ = 1.0 / index->mult_;
  index->ef_ = 10;
  for (std::size_t i = 0; i < count; ++i) index->num_deleted_ += index->isMarkedDeleted(i);
  return index;
}

std::string graph_path(std::int64_t index_id, const std::string& directory) {
  return directory + "/" + std::to_string(index_id) + ".hnsw";
}

}  // namespace

std::optional<std::vector<std::size_t>> search_graph(LiveDataset& dataset, const IndexInfo& index,
                                                     const float* query, std::size_t k) {
  const auto graph = ready_graph(dataset, index.id);
  if (!graph) return std::nullopt;
  std::shared_lock use(graph->mutex, std::try_to_lock);
  if (!use.owns_lock()) return std::nullopt;
  const auto dim = static_cast<std::size_t>(dataset.info.dim);
  const auto q = graph_vector(index.dist_type, query, dim);
  const std::size_t n = dataset.size();
  // A row removed while this search ran may still be in the graph: more are asked for until
  // k rows of the dataset are found.
  std::vector<std::size_t> positions;
  for (std::size_t asked = std::min(k, n);; asked = std::min(n, asked * 2 + 8)) {
    auto result = graph->index->searchKnn(q.data(), asked);
    positions.clear();
    while (!result.empty()) {
      if (const auto at = dataset.position_of_row(static_cast<std::int64_t>(result.top().second))) {
        positions.push_back(*at);
      }
      result.pop();
    }
    if (positions.size() >= k || asked >= n) break;
  }
  std::reverse(positions.begin(), positions.end());
  positions.resize(std::min(positions.size(), k));
  return positions;
}

bool uses_graph(const std::string& dist_type) {
  return dist_type == "L2" || dist_type == "Inner Product" || dist_type == "Cosine";
}

bool known_distance(const std::string& dist_type) {
  return uses_graph(dist_type) || dist_type == "Hamming";
}

bool needs_graph(LiveDataset& dataset, const IndexInfo& index) {
  if (!index.large || dataset.info.sparse() || !uses_graph(index.dist_type)) return false;
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  auto& slot = dataset.graphs[index.id];
  if (slot.ready || slot.building || slot.requested) return false;
  slot.requested = true;
  return true;
}

void want_new_graph(LiveDataset& dataset, std::int64_t index_id) {
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  if (const auto found = dataset.graphs.find(index_id); found != dataset.graphs.end()) {
    found->second.requested = true;
  }
}

bool build_graph(LiveDataset& dataset, const IndexInfo& index, const std::atomic<bool>& stop) {
  if (!index.large || dataset.info.sparse() || !uses_graph(index.dist_type)) return true;
  {
    std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
    auto& slot = dataset.graphs[index.id];
    // A ready graph is replaced only when a new one was asked for (too many removed rows).
    if (slot.building || (slot.ready && !slot.requested)) return true;
    slot.building = true;
    slot.removed_meanwhile.clear();
  }
  auto finish = [&](std::shared_ptr<Graph> graph) {
    std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
    const auto slot = dataset.graphs.find(index.id);
    if (slot == dataset.graphs.end()) return;  // the index went meanwhile
    slot->second.building = false;
    slot->second.requested = false;
    slot->second.removed_meanwhile.clear();
    if (graph) slot->second.ready = std::move(graph);
  };
  std::vector<std::int64_t> rows;
  {
    std::shared_lock<WriterFirstMutex> shared(dataset.rows_mutex);
    rows = dataset.rows();
  }
  const auto dim = static_cast<std::size_t>(dataset.info.dim);
  auto graph = new_graph(index.dist_type, dim, rows.size() + rows.size() / 4);
  if (!add_rows(*graph, dataset, rows, &stop, true)) {
    finish(nullptr);
    return false;
  }
  // Rows appended meanwhile are caught up with; the last of them, and the rows removed
  // meanwhile, with writers kept out, just before the graph takes the index's place.
  auto catch_up = [&] {
    std::vector<std::int64_t> appended;
    {
      std::shared_lock<WriterFirstMutex> shared(dataset.rows_mutex);
      const auto& now = dataset.rows();
      const auto after =
          rows.empty() ? now.begin() : std::upper_bound(now.begin(), now.end(), rows.back());
      appended.assign(after, now.end());
    }
    if (appended.empty()) return true;
    make_room(*graph, appended.size());
    rows.insert(rows.end(), appended.begin(), appended.end());
    return add_rows(*graph, dataset, appended, &stop, true);
  };
  if (!catch_up()) {
    finish(nullptr);
    return false;
  }
  std::lock_guard<std::mutex> write(dataset.write_mutex);
  if (!catch_up()) {
    finish(nullptr);
    return false;
  }
  std::vector<std::int64_t> removed;
  {
    std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
    if (const auto slot = dataset.graphs.find(index.id); slot != dataset.graphs.end()) {
      removed = slot->second.removed_meanwhile;
    }
  }
  for (const auto row : removed) {
    try {
      graph->index->markDelete(static_cast<hnswlib::labeltype>(row));
    } catch (const std::exception&) {
      // never added, or removed before it was
    }
  }
  graph->dirty = true;
  finish(graph);
  return true;
}

void extend_graphs(LiveDataset& dataset, const std::vector<std::int64_t>& rows,
                   const std::atomic<bool>* stop) {
  if (rows.empty()) return;
  for (const auto& [id, graph] : ready_graphs(dataset)) {
    std::unique_lock alone(graph->mutex);
    make_room(*graph, rows.size());
    graph->dirty = true;
    if (!add_rows(*graph, dataset, rows, stop, false)) {
      std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
      const auto slot = dataset.graphs.find(id);
      if (slot != dataset.graphs.end() && slot->second.ready == graph) slot->second.ready.reset();
      return;
    }
  }
}

std::vector<std::int64_t> forget_in_graphs(LiveDataset& dataset,
                                           const std::vector<std::int64_t>& rows) {
  {
    std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
    for (auto& [id, slot] : dataset.graphs) {
      if (slot.building) {
        slot.removed_meanwhile.insert(slot.removed_meanwhile.end(), rows.begin(), rows.end());
      }
    }
  }
  std::vector<std::int64_t> stale;
  for (const auto& [id, graph] : ready_graphs(dataset)) {
    std::unique_lock alone(graph->mutex);
    graph->dirty = true;
    for (const auto row : rows) {
      try {
        graph->index->markDelete(static_cast<hnswlib::labeltype>(row));
      } catch (const std::exception&) {
        // not in this graph (added after it was built and not yet extended)
      }
    }
    const std::size_t removed = graph->index->num_deleted_;
    if (removed >= kFewest && removed * kRemovedShare > graph->index->cur_element_count) {
      stale.push_back(id);
    }
  }
  return stale;
}

void drop_graph(LiveDataset& dataset, std::int64_t index_id) {
  std::shared_ptr<Graph> gone;  // freed after the lock, or by the last search holding it
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  if (auto found = dataset.graphs.find(index_id); found != dataset.graphs.end()) {
    gone = std::move(found->second.ready);
    dataset.graphs.erase(found);
  }
}

void save_graph(LiveDataset& dataset, std::int64_t index_id, const std::string& directory) {
  const auto graph = ready_graph(dataset, index_id);
  if (!graph) return;
  std::unique_lock alone(graph->mutex);
  if (!graph->dirty) return;
  nlohmann::json meta;
  {
    std::shared_lock<WriterFirstMutex> shared(dataset.rows_mutex);
    meta = coverage(dataset);
  }
  meta["dist"] = graph->dist;
  meta["dim"] = dataset.info.dim;
  const std::string path = graph_path(index_id, directory);
  graph->index->saveIndex(path + ".tmp");
  struct stat info {};
  ::stat((path + ".tmp").c_str(), &info);
  meta["bytes"] = static_cast<std::uint64_t>(info.st_size);
  std::ofstream(path + ".meta.tmp") << meta.dump();
  if (std::rename((path + ".tmp").c_str(), path.c_str()) == 0 &&
      std::rename((path + ".meta.tmp").c_str(), (path + ".meta").c_str()) == 0) {
    graph->dirty = false;
  }
}

bool load_graph(LiveDataset& dataset, const IndexInfo& index, const std::string& directory) {
  const std::string path = graph_path(index.id, directory);
  std::ifstream meta_file(path + ".meta");
  const nlohmann::json meta = nlohmann::json::parse(meta_file, nullptr, false);
  struct stat info {};
  if (!meta.is_object() || ::stat(path.c_str(), &info) != 0 ||
      meta.value("bytes", std::uint64_t{0}) != static_cast<std::uint64_t>(info.st_size) ||
      meta.value("dist", "") != index.dist_type || meta.value("dim", 0) != dataset.info.dim) {
    return false;
  }
  std::size_t rows = 0;
  {
    std::shared_lock<WriterFirstMutex> shared(dataset.rows_mutex);
    const auto covered = coverage(dataset);
    if (covered.at("rows") != meta.value("rows", nlohmann::json()) ||
        covered.at("digest") != meta.value("digest", nlohmann::json())) {
      return false;
    }
    rows = dataset.size();
  }
  auto graph = std::make_shared<Graph>();
  graph->dist = index.dist_type;
  const auto dim = static_cast<std::size_t>(dataset.info.dim);
  if (index.dist_type == "L2") {
    graph->space = std::make_unique<hnswlib::L2Space>(dim);
  } else {
    graph->space = std::make_unique<hnswlib::InnerProductSpace>(dim);
  }
  graph->index =
      read_saved_graph(*graph->space, path, std::max<std::size_t>(rows + rows / 4, 1024));
  if (!graph->index) return false;
  graph->index->setEf(index.dist_type == "Cosine" ? kCosineSearchEf : kSearchEf);
  std::lock_guard<std::mutex> lock(dataset.graphs_mutex);
  auto& slot = dataset.graphs[index.id];
  if (!slot.ready) slot.ready = std::move(graph);
  slot.requested = false;
  return true;
}

void remove_saved_graph(std::int64_t index_id, const std::string& directory) {
  const std::string path = graph_path(index_id, directory);
  std::remove(path.c_str());
  std::remove((path + ".meta").c_str());
}

}  // namespace orvix_local
