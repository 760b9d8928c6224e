#include "server/shard_feed.h"

namespace orvix_local {

void ShardFeed::keep(std::shared_ptr<const void> holding) {
  std::lock_guard<std::mutex> lock(mutex_);
  kept_.push_back(std::move(holding));
}

void ShardFeed::add(std::vector<VectorRecord> batch) {
  if (batch.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batches_.push_back(std::move(batch));
  }
  changed_.notify_all();
}

void ShardFeed::end(std::exception_ptr failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    failure_ = failure;
  }
  changed_.notify_all();
}

bool ShardFeed::next(std::vector<VectorRecord>& batch) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return ended_ || !batches_.empty(); });
  if (batches_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  batch = std::move(batches_.front());
  batches_.pop_front();
  return true;
}

}  // namespace orvix_local
