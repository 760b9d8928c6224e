#include "server/live_dataset.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace orvix_local {
namespace {

constexpr std::size_t kBlockFloats = 1 << 20;  // 4 MiB of values a block

}  // namespace

LiveDataset::LiveDataset(DatasetInfo dataset)
    : info(std::move(dataset)),
      rows_per_block_(std::max<std::size_t>(
          1, kBlockFloats / static_cast<std::size_t>(std::max(info.dim, 1)))) {}

void LiveDataset::ensure_loaded(Store& store) {
  if (loaded_) return;
  std::unique_lock lock(rows_mutex);
  try {
    store.load(info, [this](VectorRecord&& record) { append(std::move(record)); });
  } catch (...) {
    // Nothing half loaded stays behind: the next use loads from the start.
    blocks_.clear();
    rows_ = {};
    ids_ = {};
    attributes_ = {};
    sparse_ = {};
    throw;
  }
  loaded_ = true;
}

float* LiveDataset::dense_slot(std::size_t position) {
  const std::size_t b = position / rows_per_block_;
  while (blocks_.size() <= b) {
    blocks_.push_back(
        huge_floats(rows_per_block_ * static_cast<std::size_t>(std::max(info.dim, 1))));
  }
  return blocks_[b].get() + (position % rows_per_block_) * static_cast<std::size_t>(info.dim);
}

void LiveDataset::append(VectorRecord&& record) {
  const std::size_t position = ids_.size();
  if (!info.sparse()) {
    std::memcpy(dense_slot(position), record.dense.data(),
                static_cast<std::size_t>(info.dim) * sizeof(float));
  }
  rows_.push_back(record.row);
  ids_.push_back(std::move(record.id));
  attributes_.push_back(std::move(record.attributes));
  sparse_.push_back(std::move(record.sparse));
}

void LiveDataset::erase_rows(const std::vector<std::int64_t>& gone) {
  const std::set<std::int64_t> removed(gone.begin(), gone.end());
  const std::size_t dim = static_cast<std::size_t>(info.dim);
  std::size_t kept = 0;
  for (std::size_t position = 0; position < ids_.size(); ++position) {
    if (removed.count(rows_[position]) != 0) continue;
    if (kept != position) {
      if (!info.sparse()) std::memmove(dense_slot(kept), dense(position), dim * sizeof(float));
      rows_[kept] = rows_[position];
      ids_[kept] = std::move(ids_[position]);
      attributes_[kept] = std::move(attributes_[position]);
      sparse_[kept] = std::move(sparse_[position]);
    }
    ++kept;
  }
  rows_.resize(kept);
  ids_.resize(kept);
  attributes_.resize(kept);
  sparse_.resize(kept);
  rows_.shrink_to_fit();
  ids_.shrink_to_fit();
  attributes_.shrink_to_fit();
  sparse_.shrink_to_fit();
  blocks_.resize((kept + rows_per_block_ - 1) / rows_per_block_);
}

std::optional<std::size_t> LiveDataset::position_of_row(std::int64_t row) const {
  const auto found = std::lower_bound(rows_.begin(), rows_.end(), row);
  if (found == rows_.end() || *found != row) return std::nullopt;
  return static_cast<std::size_t>(found - rows_.begin());
}

VectorRecord LiveDataset::record(std::size_t position) const {
  VectorRecord copy;
  copy.id = ids_[position];
  copy.row = rows_[position];
  copy.sparse = sparse_[position];
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
