#pragma once
// Nearest-neighbour search over a live dataset. Indices attached with large_index use an HNSW
// graph (hnswlib) for L2, inner product and cosine on dense vectors; every other search
// (ordinary indices, Hamming, sparse vectors, filtered queries, and a large index whose graph is
// being built or extended) is an exact scan.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "server/live_dataset.h"

namespace orvix_local {

struct Neighbour {
  double distance;  // a distance for L2 and Hamming, a similarity for inner product and cosine
  std::string id;
};

// Keeps only the vectors whose attributes pass; empty means no filter.
using VectorFilter = std::function<bool(const json& attributes)>;

// The query must have the dataset's kind and, when dense, its dimension.
std::vector<Neighbour> search(LiveDataset& dataset, const IndexInfo& index,
                              const VectorRecord& query, std::size_t top_k,
                              const VectorFilter& filter);

// Builds the graph of a large index from the dataset's rows into a new graph, which then takes
// the index's place; the caller holds the dataset's write_mutex. Nothing is done when the index
// has a graph ready or being built. Returns false when `stop` was raised first (no graph is kept).
bool build_graph(LiveDataset& dataset, const IndexInfo& index, const std::atomic<bool>& stop);
// Adds rows just appended to every built graph of the dataset; the caller holds write_mutex. A
// graph left part-way by `stop` is dropped, to be built again when next needed.
void extend_graphs(LiveDataset& dataset, const std::vector<std::int64_t>& rows,
                   const std::atomic<bool>* stop = nullptr);
// Takes removed rows out of every graph of the dataset.
void forget_in_graphs(LiveDataset& dataset, const std::vector<std::int64_t>& rows);
// The index is gone: its graph is freed.
void drop_graph(LiveDataset& dataset, std::int64_t index_id);
// True, once, when a large index has no graph yet (after a restart); the caller then has one
// built.
bool needs_graph(LiveDataset& dataset, const IndexInfo& index);

// True when the distance type is served by the graph.
bool uses_graph(const std::string& dist_type);
// Distance types the service knows.
bool known_distance(const std::string& dist_type);

}  // namespace orvix_local
