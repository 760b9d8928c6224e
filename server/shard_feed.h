#pragma once
// A shard's records on their way from the thread that reads them to the job that stores them,
// in batches as they are read: a float32 shard's first vectors are stored while the rest are
// still being decompressed, so the two take both cores rather than one after the other.

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/store.h"

namespace orvix_local {

class ShardFeed {
 public:
  // The reader's side. What records point into (a shard's text, a block of values) is kept
  // before their batch is added, and lives as long as the feed.
  void keep(std::shared_ptr<const void> holding);
  void add(std::vector<VectorRecord> batch);
  // No more batches; `failure`, when given, ends the job that stores them.
  void end(std::exception_ptr failure = nullptr);

  // The job's side: waits for the next batch; false once every batch was taken, or rethrows
  // what ended the reading then.
  bool next(std::vector<VectorRecord>& batch);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<const void>> kept_;
  std::deque<std::vector<VectorRecord>> batches_;
  bool ended_ = false;
  std::exception_ptr failure_;
};

}  // namespace orvix_local
