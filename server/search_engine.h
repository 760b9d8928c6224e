#pragma once
// Nearest-neighbour search over a dataset. Indices attached with large_index use an HNSW graph
// (hnswlib) for L2, inner product and cosine on dense vectors; every other search (ordinary
// indices, Hamming, sparse vectors, filtered queries) is an exact scan.

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "server/store.h"

namespace orvix_local {

struct Neighbour {
  double distance;  // a distance for L2 and Hamming, a similarity for inner product and cosine
  std::string id;
};

// Keeps only the vectors whose attributes pass; empty means no filter.
using VectorFilter = std::function<bool(const VectorRecord&)>;

class SearchEngine {
 public:
  explicit SearchEngine(Store& store) : store_(store) {}
  ~SearchEngine();

  std::vector<Neighbour> search(const DatasetInfo& dataset, const IndexInfo& index,
                                const VectorRecord& query, int top_k, const VectorFilter& filter);
  // Builds (or brings up to date) the graph of an index, as the attach job does.
  void prepare(const DatasetInfo& dataset, const IndexInfo& index);

 private:
  struct Graph;
  std::shared_ptr<Graph> graph(const DatasetInfo& dataset, const IndexInfo& index,
                               const std::shared_ptr<const DatasetVectors>& vectors);

  Store& store_;
  std::mutex mutex_;
  std::map<std::int64_t, std::shared_ptr<Graph>> graphs_;
};

// True when the distance type is served by the graph.
bool uses_graph(const std::string& dist_type);
// Distance types the service knows.
bool known_distance(const std::string& dist_type);

}  // namespace orvix_local
