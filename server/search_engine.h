#pragma once
// Nearest-neighbour search over a live dataset. Indices attached with large_index use an HNSW
// graph (server/graph.h) for L2, inner product and cosine on dense vectors; every other search
// (ordinary indices, Hamming, sparse vectors, filtered queries, and a large index whose graph is
// being built or changed) is an exact scan, ranked in double.

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

}  // namespace orvix_local
