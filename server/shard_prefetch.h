#pragma once
// Reading an upload shard's records one job ahead: while the job runner stores one shard, the
// next one queued is decompressed and parsed on a thread of its own, so that both cores work on
// an upload. Shards are offered in the order they are queued; one is read at a time, the next
// as soon as the one before is handed over. It is only a head start: a job not read ahead
// reads its own records.

#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/shard_records.h"

namespace orvix_local {

class ShardPrefetch {
 public:
  using Read = std::function<ShardRecords()>;

  ~ShardPrefetch();
  // Reads the records of job `id` once those of the jobs offered before it are taken.
  void offer(const std::string& id, Read read);
  // The records read ahead for job `id` (waiting for them while they are read; rethrowing what
  // ended the reading), or nullopt when it was not read ahead.
  std::optional<ShardRecords> take(const std::string& id);

 private:
  // Under mutex_: starts the next offer unless a read is under way or being handed over.
  void start_next();

  std::mutex mutex_;
  std::deque<std::pair<std::string, Read>> offers_;
  std::string id_;
  std::future<ShardRecords> records_;
  bool handing_over_ = false;  // a job waits for its records, which are still being read
};

}  // namespace orvix_local
