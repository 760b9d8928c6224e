#pragma once
// Reading an upload shard's records one job ahead: while the job runner stores one shard, the
// next one queued is decompressed and parsed on a thread of its own, so that both cores work on
// an upload. It is only a head start: a job not read ahead reads its own records.

#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/store.h"

namespace orvix_local {

class ShardPrefetch {
 public:
  using Read = std::function<std::vector<VectorRecord>()>;

  ~ShardPrefetch();
  // Starts reading the records of job `id`, unless the job read ahead before is not yet taken.
  void offer(const std::string& id, Read read);
  // The records read ahead for job `id` (waiting for them while they are read; rethrowing what
  // ended the reading), or nullopt when it was not read ahead.
  std::optional<std::vector<VectorRecord>> take(const std::string& id);

 private:
  std::mutex mutex_;
  std::string id_;
  std::future<std::vector<VectorRecord>> records_;
  bool handing_over_ = false;  // a job waits for its records, which are still being read
};

}  // namespace orvix_local
