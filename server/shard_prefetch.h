#pragma once
// Reading an upload shard's records one job ahead: while the job runner stores one shard, the
// next one queued is decompressed and parsed on a thread of its own, so that both cores work on
// an upload. Shards are offered in the order they are queued and read one at a time; the next
// is started once the one before is handed over. A job takes its records in batches as they are
// read, from a shard being read or one offered and not yet started alike; a job whose shard was
// never offered reads its own.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/shard_feed.h"

namespace orvix_local {

class ShardPrefetch {
 public:
  // Reads a shard's records into the feed, batch by batch; what it throws ends the feed.
  using Read = std::function<void(ShardFeed&)>;
  ShardPrefetch();
  ~ShardPrefetch();
  ShardPrefetch(const ShardPrefetch&) = delete;
  ShardPrefetch& operator=(const ShardPrefetch&) = delete;

  // Reads the records of job `id` once those of the jobs offered before it are handed over.
  void offer(const std::string& id, Read read);
  // The feed of job `id`, read, being read or still to be read, or nullptr when it was not
  // offered.
  std::shared_ptr<ShardFeed> take(const std::string& id);

 private:
  struct Offer {
    std::string id;
    Read read;
    std::shared_ptr<ShardFeed> feed = std::make_shared<ShardFeed>();
    bool taken = false;  // its job waits for it
  };
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Offer> offers_;
  std::string id_;                   // the job whose feed is read or being read, not handed over
  std::shared_ptr<ShardFeed> feed_;  // its feed
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace orvix_local
