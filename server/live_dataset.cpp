#include "server/live_dataset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

namespace orvix_local {
namespace {

constexpr std::size_t kBlockFloats = 1 << 20;      // 4 MiB of copied values a block
constexpr std::size_t kWindowBytes = 64ULL << 20;  // of the value file, mapped at once

std::size_t at_least_one(std::size_t n) {
  return std::max<std::size_t>(1, n);
}

}  // namespace

LiveDataset::LiveDataset(DatasetInfo dataset)
    : info(std::move(dataset)),
      rows_per_window_(
          at_least_one(kWindowBytes / (at_least_one(std::max(info.dim, 0)) * sizeof(float)))),
      rows_per_block_(at_least_one(kBlockFloats / at_least_one(std::max(info.dim, 0)))) {}

void LiveDataset::ensure_loaded(Store& store) {
  if (loaded_) return;
  std::unique_lock lock(rows_mutex);
  file_ = store.vector_file(info.id);
  try {
    store.load(info.id, [this](VectorRecord&& record) { append(std::move(record)); });
  } catch (...) {
    // Nothing half loaded stays behind: the next use loads from the start.
    clear();
    throw;
  }
  loaded_ = true;
}

void LiveDataset::clear() {
  windows_.clear();
  blocks_.clear();
  copied_ = 0;
  values_ = {};
  rows_ = {};
  ids_ = {};
  attributes_ = {};
  sparse_ = {};
}

const float* LiveDataset::in_file(std::int64_t row) {
  const std::size_t row_bytes = static_cast<std::size_t>(info.dim) * sizeof(float);
  const auto window = static_cast<std::size_t>(row) / rows_per_window_;
  const bool representable =
      row >= 0 && info.dim > 0 && static_cast<std::size_t>(row) < SIZE_MAX / row_bytes - 1;
  const std::size_t end = representable ? (static_cast<std::size_t>(row) + 1) * row_bytes : 0;
  if (representable && end > file_size_) file_size_ = vector_file_size(file_);
  if (!representable || end > file_size_) {
    throw StorageError(SQLITE_CORRUPT, "storage error: " + file_ + " does not hold row " +
                                           std::to_string(row) + "; the file is damaged");
  }
  if (windows_.size() <= window) windows_.resize(window + 1);
  if (!windows_[window]) {
    windows_[window] = std::make_unique<ValueWindow>(file_, window * rows_per_window_ * row_bytes,
                                                     rows_per_window_ * row_bytes);
  }
  return reinterpret_cast<const float*>(
      windows_[window]->data() + (static_cast<std::size_t>(row) % rows_per_window_) * row_bytes);
}

const float* LiveDataset::copied(const std::vector<float>& values) {
  const std::size_t dim = static_cast<std::size_t>(info.dim);
  const std::size_t b = copied_ / rows_per_block_;
  if (blocks_.size() <= b) blocks_.push_back(huge_floats(rows_per_block_ * dim));
  float* slot = blocks_[b].get() + (copied_ % rows_per_block_) * dim;
  const std::size_t given = std::min(values.size(), dim);  // a damaged row may hold fewer
  std::memcpy(slot, values.data(), given * sizeof(float));
  std::fill(slot + given, slot + dim, 0.0f);
  ++copied_;
  return slot;
}

void LiveDataset::append(VectorRecord&& record) {
  if (!info.sparse()) {
    values_.push_back(record.dense.empty() ? in_file(record.row) : copied(record.dense));
  }
  const std::size_t position = ids_.size();
  rows_.push_back(record.row);
  ids_.push_back(std::move(record.id));
  if (!attributes_.empty() || !record.attributes.is_null()) {
    attributes_.resize(position);  // the rows before the first with attributes have none
    attributes_.push_back(std::move(record.attributes));
  }
  if (info.sparse()) sparse_.push_back(std::move(record.sparse));
}

void LiveDataset::make_room(std::size_t more) {
  const std::size_t wanted = ids_.size() + more;
  if (ids_.capacity() >= wanted) return;
  const std::size_t room = std::max(wanted, 2 * ids_.capacity());
  if (!info.sparse()) reserve_populated(values_, room);
  reserve_populated(rows_, room);
  reserve_populated(ids_, room);
}

void LiveDataset::erase_rows(const std::vector<std::int64_t>& gone) {
  const std::set<std::int64_t> removed(gone.begin(), gone.end());
  std::size_t kept = 0;
  for (std::size_t position = 0; position < ids_.size(); ++position) {
    if (removed.count(rows_[position]) != 0) continue;
    if (kept != position) {
      if (!info.sparse()) values_[kept] = values_[position];
      rows_[kept] = rows_[position];
      ids_[kept] = std::move(ids_[position]);
      if (!attributes_.empty()) attributes_[kept] = std::move(attributes_[position]);
      if (info.sparse()) sparse_[kept] = std::move(sparse_[position]);
    }
    ++kept;
  }
  if (!info.sparse()) {
    values_.resize(kept);
    values_.shrink_to_fit();
  }
  rows_.resize(kept);
  ids_.resize(kept);
  if (!attributes_.empty()) attributes_.resize(kept);
  if (info.sparse()) sparse_.resize(kept);
  rows_.shrink_to_fit();
  ids_.shrink_to_fit();
  attributes_.shrink_to_fit();
  sparse_.shrink_to_fit();
}

std::optional<std::size_t> LiveDataset::position_of_row(std::int64_t row) const {
  const auto found = std::lower_bound(rows_.begin(), rows_.end(), row);
  if (found == rows_.end() || *found != row) return std::nullopt;
  return static_cast<std::size_t>(found - rows_.begin());
}

const SparseValues& LiveDataset::sparse(std::size_t position) const {
  static const SparseValues kNone;
  return info.sparse() ? sparse_[position] : kNone;
}

const json& LiveDataset::attributes(std::size_t position) const {
  static const json kNone;
  return attributes_.empty() ? kNone : attributes_[position];
}

VectorRecord LiveDataset::record(std::size_t position) const {
  VectorRecord copy;
  copy.id = ids_[position];
  copy.row = rows_[position];
  copy.sparse = sparse(position);
  if (!info.sparse()) copy.dense.assign(dense(position), dense(position) + info.dim);
  return copy;
}

std::shared_ptr<LiveDataset> LiveDatasets::get(const DatasetInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = datasets_[info.id];
  if (!slot) slot = std::make_shared<LiveDataset>(info);
  return slot;
}

std::vector<std::shared_ptr<LiveDataset>> LiveDatasets::all() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<LiveDataset>> found;
  for (const auto& [id, dataset] : datasets_) found.push_back(dataset);
  return found;
}

void LiveDatasets::drop(std::int64_t dataset_id) {
  std::shared_ptr<LiveDataset> gone;
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto found = datasets_.find(dataset_id); found != datasets_.end()) {
    gone = std::move(found->second);
    datasets_.erase(found);
  }
}

}  // namespace orvix_local
