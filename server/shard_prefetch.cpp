#include "server/shard_prefetch.h"

namespace orvix_local {

ShardPrefetch::~ShardPrefetch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_.valid()) records_.wait();
}

void ShardPrefetch::offer(const std::string& id, Read read) {
  std::lock_guard<std::mutex> lock(mutex_);
  // One shard ahead at most: a finished one that no job took (its job went another way) makes
  // room; one still being read, or being handed over, does not.
  if (handing_over_ || (records_.valid() &&
                        records_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)) {
    return;
  }
  id_ = id;
  records_ = std::async(std::launch::async, std::move(read));
}

std::optional<std::vector<VectorRecord>> ShardPrefetch::take(const std::string& id) {
  std::future<std::vector<VectorRecord>> records;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!records_.valid() || id_ != id) return std::nullopt;
    records = std::move(records_);
    id_.clear();
    handing_over_ = true;
  }
  struct HandedOver {
    ShardPrefetch& prefetch;
    ~HandedOver() {
      std::lock_guard<std::mutex> lock(prefetch.mutex_);
      prefetch.handing_over_ = false;
    }
  } handed_over{*this};
  return records.get();
}

}  // namespace orvix_local
