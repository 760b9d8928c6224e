#include "server/shard_prefetch.h"

#include <system_error>

#include "server/limits.h"

namespace orvix_local {

ShardPrefetch::~ShardPrefetch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_.valid()) records_.wait();
}

void ShardPrefetch::offer(const std::string& id, Read read) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (offers_.size() < kPrefetchOffers) offers_.emplace_back(id, std::move(read));
  start_next();
}

void ShardPrefetch::start_next() {
  // One shard ahead at most: a finished one that no job took (its job went another way) makes
  // room; one still being read, or being handed over, does not.
  if (offers_.empty() || handing_over_ ||
      (records_.valid() &&
       records_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)) {
    return;
  }
  auto offer = std::move(offers_.front());
  offers_.pop_front();
  try {
    records_ = std::async(std::launch::async, std::move(offer.second));
    id_ = std::move(offer.first);
  } catch (const std::system_error&) {
    // No thread to read it on: the job reads its own records, and an upload already queued
    // is never answered with a failure for it.
  }
}

std::optional<ShardRecords> ShardPrefetch::take(const std::string& id) {
  std::future<ShardRecords> records;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!records_.valid() || id_ != id) {
      // Jobs run in the order offered: offers up to this one will never be asked for.
      for (auto at = offers_.begin(); at != offers_.end(); ++at) {
        if (at->first == id) {
          offers_.erase(offers_.begin(), at + 1);
          break;
        }
      }
      start_next();
      return std::nullopt;
    }
    records = std::move(records_);
    id_.clear();
    handing_over_ = true;
  }
  struct HandedOver {
    ShardPrefetch& prefetch;
    ~HandedOver() {
      std::lock_guard<std::mutex> lock(prefetch.mutex_);
      prefetch.handing_over_ = false;
      prefetch.start_next();
    }
  } handed_over{*this};
  return records.get();
}

}  // namespace orvix_local
