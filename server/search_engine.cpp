#include "server/search_engine.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "server/graph.h"

namespace orvix_local {

namespace {

bool larger_is_better(const std::string& dist) {
  return dist == "Inner Product" || dist == "Cosine";
}

// Kernels in double with four running sums.
double squared_l2(const float* a, const float* b, std::size_t n) {
  double sums[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int j = 0; j < 4; ++j) {
      const double d = static_cast<double>(a[i + j]) - b[i + j];
      sums[j] += d * d;
    }
  }
  double total = 0;
  for (; i < n; ++i)
    total += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
  return total + sums[0] + sums[1] + sums[2] + sums[3];
}

double dot_product(const float* a, const float* b, std::size_t n) {
  double sums[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int j = 0; j < 4; ++j) sums[j] += static_cast<double>(a[i + j]) * b[i + j];
  }
  double total = 0;
  for (; i < n; ++i) total += static_cast<double>(a[i]) * b[i];
  return total + sums[0] + sums[1] + sums[2] + sums[3];
}

// The reported value of a dense pair, in double precision.
double exact_score(const std::string& dist, const float* a, const float* b, std::size_t n) {
  double dot = 0, na = 0, nb = 0, l2 = 0, differing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = a[i], y = b[i];
    dot += x * y;
    na += x * x;
    nb += y * y;
    l2 += (x - y) * (x - y);
    differing += a[i] != b[i];
  }
  if (dist == "Inner Product") return dot;
  if (dist == "Cosine") return na == 0 || nb == 0 ? 0 : dot / std::sqrt(na * nb);
  if (dist == "Hamming") return differing;
  return std::sqrt(l2);
}

// A sparse row against a query held as index -> value.
struct SparseQuery {
  explicit SparseQuery(const VectorRecord& query) {
    for (const auto& [index, value] : query.sparse) values[index] += value;
    for (std::size_t i = 0; i < query.dense.size(); ++i) {
      if (query.dense[i] != 0) values[static_cast<std::uint32_t>(i)] += query.dense[i];
    }
    for (const auto& [index, value] : values) {
      norm2 += static_cast<double>(value) * value;
      nonzero += value != 0;
    }
  }
  double score(const std::string& dist, const SparseValues& row) const {
    double dot = 0, row_norm2 = 0, differing = 0, shared_nonzero = 0;
    for (const auto& [index, value] : row) {
      const auto found = values.find(index);
      const float q = found == values.end() ? 0 : found->second;
      dot += static_cast<double>(q) * value;
      row_norm2 += static_cast<double>(value) * value;
      differing += q != value;
      shared_nonzero += q != 0;
    }
    if (dist == "Inner Product") return dot;
    if (dist == "Cosine")
      return norm2 == 0 || row_norm2 == 0 ? 0 : dot / std::sqrt(norm2 * row_norm2);
    if (dist == "Hamming") return differing + (nonzero - shared_nonzero);
    return std::sqrt(std::max(0.0, norm2 + row_norm2 - 2 * dot));
  }
  std::unordered_map<std::uint32_t, float> values;
  double norm2 = 0, nonzero = 0;
};

// The best k (smallest key) of a stream of (key, position) pairs.
class TopK {
 public:
  explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }
  void offer(double key, std::size_t position) {
    if (heap_.size() < k_) {
      heap_.emplace_back(key, position);
      std::push_heap(heap_.begin(), heap_.end());
    } else if (key < heap_.front().first) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = {key, position};
      std::push_heap(heap_.begin(), heap_.end());
    }
  }
  std::vector<std::pair<double, std::size_t>> sorted() {
    std::sort_heap(heap_.begin(), heap_.end());
    return std::move(heap_);
  }

 private:
  std::size_t k_;
  std::vector<std::pair<double, std::size_t>> heap_;
};

}  // namespace

std::vector<Neighbour> search(LiveDataset& dataset, const IndexInfo& index,
                              const VectorRecord& query, std::size_t top_k,
                              const VectorFilter& filter) {
  std::shared_lock rows(dataset.rows_mutex);
  const std::size_t n = dataset.size();
  const std::size_t k = std::min(top_k, n);
  std::vector<Neighbour> found;
  if (k == 0) return found;
  const std::string& dist = index.dist_type;
  const auto dim = static_cast<std::size_t>(dataset.info.dim);
  if (index.large && !filter && !dataset.info.sparse() && uses_graph(dist)) {
    if (const auto positions = search_graph(dataset, index, query.dense.data(), k)) {
      for (const auto p : *positions) {
        found.push_back(
            {exact_score(dist, query.dense.data(), dataset.dense(p), dim), dataset.id(p)});
      }
      return found;
    }
  }
  // The exact scan ranks in double: float sums lose the order of large or close values.
  TopK best(k);
  const bool negate = larger_is_better(dist);
  if (dataset.info.sparse()) {
    const SparseQuery sparse_query(query);
    std::vector<double> scores(n);
    for (std::size_t p = 0; p < n; ++p) {
      if (filter && !filter(dataset.attributes(p))) continue;
      scores[p] = sparse_query.score(dist, dataset.sparse(p));
      best.offer(negate ? -scores[p] : scores[p], p);
    }
    for (const auto& [key, p] : best.sorted()) found.push_back({scores[p], dataset.id(p)});
    return found;
  }
  const float* q = query.dense.data();
  const double q_norm = std::sqrt(dot_product(q, q, dim));
  for (std::size_t p = 0; p < n; ++p) {
    if (filter && !filter(dataset.attributes(p))) continue;
    const float* v = dataset.dense(p);
    double key;
    if (dist == "L2") {
      key = squared_l2(q, v, dim);
    } else if (dist == "Inner Product") {
      key = -dot_product(q, v, dim);
    } else if (dist == "Cosine") {
      const double norms = q_norm * std::sqrt(dot_product(v, v, dim));
      key = norms == 0 ? 0 : -dot_product(q, v, dim) / norms;
    } else {
      double differing = 0;
      for (std::size_t i = 0; i < dim; ++i) differing += q[i] != v[i];
      key = differing;
    }
    best.offer(key, p);
  }
  for (const auto& [key, p] : best.sorted()) {
    found.push_back({exact_score(dist, q, dataset.dense(p), dim), dataset.id(p)});
  }
  return found;
}

}  // namespace orvix_local
