#pragma once
// The threads of one upload, started once and shared by everything that works in parallel on
// it: the compression of a shard's chunks and the conversion of a JSON file's elements. A
// worker's scratch state (a compression buffer, a JSON parser) stays with its thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace rest_client {

class WorkerPool {
 public:
  // `threads` workers; 0: one per processor.
  explicit WorkerPool(unsigned threads = 0);
  // Runs what is queued, then joins the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a task; tasks start in the order they were posted. A task must not wait for another.
  void post(std::function<void()> task);
  unsigned size() const { return static_cast<unsigned>(threads_.size()); }

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace rest_client
