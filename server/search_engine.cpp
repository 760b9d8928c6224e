#include "server/search_engine.h"

// This hnswlib's SSE path prefetches one entry past the end of a full link list; the four bytes
// lie inside malloc's rounding of the list, but AddressSanitizer rightly reports them, so
// sanitizer builds take the portable path.
#if defined(__SANITIZE_ADDRESS__)
#define NO_MANUAL_VECTORIZATION
#endif
#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <unordered_map>

namespace orvix_local {
namespace {

bool larger_is_better(const std::string& dist) {
  return dist == "Inner Product" || dist == "Cosine";
}

double dot(const VectorRecord& a, const VectorRecord& b) {
  double sum = 0;
  if (!a.sparse.empty() || !b.sparse.empty()) {
    std::unordered_map<std::uint32_t, float> values(a.sparse.begin(), a.sparse.end());
    for (std::size_t i = 0; i < a.dense.size(); ++i)
      values[static_cast<std::uint32_t>(i)] += a.dense[i];
    for (const auto& [index, value] : b.sparse) {
      if (auto found = values.find(index); found != values.end()) sum += found->second * value;
    }
    for (std::size_t i = 0; i < b.dense.size(); ++i) {
      if (auto found = values.find(static_cast<std::uint32_t>(i)); found != values.end()) {
        sum += found->second * b.dense[i];
      }
    }
    return sum;
  }
  const std::size_t n = std::min(a.dense.size(), b.dense.size());
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(a.dense[i]) * b.dense[i];
  return sum;
}

double score(const std::string& dist, const VectorRecord& a, const VectorRecord& b) {
  if (dist == "Inner Product") return dot(a, b);
  if (dist == "Cosine") {
    const double norms = std::sqrt(dot(a, a) * dot(b, b));
    return norms == 0 ? 0 : dot(a, b) / norms;
  }
  if (dist == "Hamming") {
    const std::size_t n = std::max(a.dense.size(), b.dense.size());
    double differing = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const float x = i < a.dense.size() ? a.dense[i] : 0;
      const float y = i < b.dense.size() ? b.dense[i] : 0;
      differing += x != y;
    }
    return differing;
  }
  // L2: |a - b| = sqrt(|a|^2 + |b|^2 - 2 a.b), computed directly for dense vectors.
  if (a.sparse.empty() && b.sparse.empty()) {
    const std::size_t n = std::max(a.dense.size(), b.dense.size());
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double d =
          (i < a.dense.size() ? a.dense[i] : 0) - (i < b.dense.size() ? b.dense[i] : 0);
      sum += d * d;
    }
    return std::sqrt(sum);
  }
  return std::sqrt(std::max(0.0, dot(a, a) + dot(b, b) - 2 * dot(a, b)));
}

std::vector<float> normalised(const std::vector<float>& values) {
  double norm = 0;
  for (float v : values) norm += static_cast<double>(v) * v;
  norm = std::sqrt(norm);
  std::vector<float> out(values);
  if (norm > 0) {
    for (auto& v : out) v = static_cast<float>(v / norm);
  }
  return out;
}

}  // namespace

bool uses_graph(const std::string& dist_type) {
  return dist_type == "L2" || dist_type == "Inner Product" || dist_type == "Cosine";
}

bool known_distance(const std::string& dist_type) {
  return uses_graph(dist_type) || dist_type == "Hamming";
}

struct SearchEngine::Graph {
  std::uint64_t version = 0;
  std::unique_ptr<hnswlib::SpaceInterface<float>> space;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
};

SearchEngine::~SearchEngine() = default;

std::shared_ptr<SearchEngine::Graph> SearchEngine::graph(
    const DatasetInfo& dataset, const IndexInfo& index,
    const std::shared_ptr<const DatasetVectors>& vectors) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = graphs_[index.id];
  if (slot && slot->version == vectors->version) return slot;
  auto built = std::make_shared<Graph>();
  built->version = vectors->version;
  const auto dim = static_cast<std::size_t>(dataset.dim);
  if (index.dist_type == "L2") {
    built->space = std::make_unique<hnswlib::L2Space>(dim);
  } else {
    built->space = std::make_unique<hnswlib::InnerProductSpace>(dim);
  }
  const std::size_t n = vectors->rows.size();
  built->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(
      built->space.get(), std::max<std::size_t>(n, 1), 16, 100);
  const bool cosine = index.dist_type == "Cosine";
  auto add = [&](std::size_t i) {
    const auto values = cosine ? normalised(vectors->rows[i].dense) : vectors->rows[i].dense;
    built->index->addPoint(values.data(), i);
  };
  if (n > 0) add(0);  // the entry point first; the rest go in on every core
  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers && n > 1; ++w) {
    threads.emplace_back([&, w] {
      for (std::size_t i = 1 + w; i < n; i += workers) add(i);
    });
  }
  for (auto& t : threads) t.join();
  slot = built;
  return slot;
}

void SearchEngine::prepare(const DatasetInfo& dataset, const IndexInfo& index) {
  if (dataset.sparse() || !index.large || !uses_graph(index.dist_type)) return;
  const auto vectors = store_.vectors(dataset);
  if (!vectors->rows.empty()) graph(dataset, index, vectors);
}

std::vector<Neighbour> SearchEngine::search(const DatasetInfo& dataset, const IndexInfo& index,
                                            const VectorRecord& query, int top_k,
                                            const VectorFilter& filter) {
  const auto vectors = store_.vectors(dataset);
  const auto& rows = vectors->rows;
  const auto k = static_cast<std::size_t>(std::max(top_k, 0));
  std::vector<Neighbour> found;
  const bool graph_search = index.large && !filter && !dataset.sparse() &&
                            uses_graph(index.dist_type) && query.sparse.empty() &&
                            query.dense.size() == static_cast<std::size_t>(dataset.dim) &&
                            !rows.empty() && k > 0;
  if (graph_search) {
    const auto g = graph(dataset, index, vectors);
    const auto q = index.dist_type == "Cosine" ? normalised(query.dense) : query.dense;
    g->index->setEf(std::max<std::size_t>(100, 2 * k));
    auto result = g->index->searchKnn(q.data(), std::min(k, rows.size()));
    while (!result.empty()) {
      const auto [distance, label] = result.top();
      result.pop();
      const double shown = index.dist_type == "L2" ? std::sqrt(distance) : 1.0 - distance;
      found.push_back({shown, rows[label].id});
    }
    std::reverse(found.begin(), found.end());
    return found;
  }
  for (const auto& row : rows) {
    if (filter && !filter(row)) continue;
    found.push_back({score(index.dist_type, query, row), row.id});
  }
  const bool descending = larger_is_better(index.dist_type);
  const auto better = [descending](const Neighbour& a, const Neighbour& b) {
    return descending ? a.distance > b.distance : a.distance < b.distance;
  };
  if (found.size() > k) {
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(k), found.end(),
                      better);
    found.resize(k);
  } else {
    std::sort(found.begin(), found.end(), better);
  }
  return found;
}

}  // namespace orvix_local
