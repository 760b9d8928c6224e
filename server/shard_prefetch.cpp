#include "server/shard_prefetch.h"

#include "server/limits.h"

namespace orvix_local {

ShardPrefetch::ShardPrefetch() : thread_([this] { run(); }) {}

ShardPrefetch::~ShardPrefetch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();  // after the read under way, which is bounded by a shard's size
  // A job waiting for a shard never read runs again at the next start.
  for (auto& offer : offers_) offer.feed->end(std::make_exception_ptr(Stopping()));
}

void ShardPrefetch::offer(const std::string& id, Read read) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offers_.size() >= kPrefetchOffers) return;
    offers_.push_back({id, std::move(read)});
  }
  changed_.notify_all();
}

std::shared_ptr<ShardFeed> ShardPrefetch::take(const std::string& id) {
  std::shared_ptr<ShardFeed> feed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (feed_ && id_ == id) {
      feed = std::move(feed_);
    } else {
      // Jobs run in the order offered: a feed read for another job, and offers before this
      // one, will never be asked for.
      feed_.reset();
      for (auto at = offers_.begin(); at != offers_.end(); ++at) {
        if (at->id == id) {
          at->taken = true;
          feed = at->feed;
          offers_.erase(offers_.begin(), at);
          break;
        }
      }
    }
    id_.clear();
  }
  changed_.notify_all();
  return feed;
}

void ShardPrefetch::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // One shard ahead at most: the next is read once the one before is handed over, or at once
    // when its job already waits for it.
    changed_.wait(lock, [this] {
      return stopping_ || (!offers_.empty() && (!feed_ || offers_.front().taken));
    });
    if (stopping_) return;
    Offer offer = std::move(offers_.front());
    offers_.pop_front();
    id_ = offer.taken ? std::string() : offer.id;
    feed_ = offer.taken ? nullptr : offer.feed;
    lock.unlock();
    try {
      offer.read(*offer.feed);
      offer.feed->end();
    } catch (...) {
      offer.feed->end(std::current_exception());
    }
    lock.lock();
  }
}

}  // namespace orvix_local
