#pragma once
// Work spread over the upload's workers whose results are used in the order it was handed out.

#include <cstddef>
#include <deque>
#include <future>
#include <memory>
#include <utility>

#include "upload/worker_pool.h"

namespace rest_client {

// Runs each task on the pool, at most `limit` at once, and hands the results (or rethrows the
// exceptions) in the order the tasks were started. Tasks still running when the object goes are
// waited for.
template <class Result>
class OrderedTasks {
 public:
  OrderedTasks(WorkerPool& pool, std::size_t limit) : pool_(pool), limit_(limit < 1 ? 1 : limit) {}
  ~OrderedTasks() {
    for (auto& running : running_) running.wait();
  }
  OrderedTasks(const OrderedTasks&) = delete;
  OrderedTasks& operator=(const OrderedTasks&) = delete;

  // When `limit` tasks are running, first hands the oldest one's result to `use`.
  template <class Task, class Use>
  void start(Task&& task, Use&& use) {
    if (running_.size() >= limit_) next(use);
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::forward<Task>(task));
    running_.push_back(packaged->get_future());
    pool_.post([packaged] { (*packaged)(); });
  }
  template <class Use>
  void finish(Use&& use) {
    while (!running_.empty()) next(use);
  }

 private:
  template <class Use>
  void next(Use& use) {
    std::future<Result> oldest = std::move(running_.front());
    running_.pop_front();
    use(oldest.get());
  }

  WorkerPool& pool_;
  std::size_t limit_;
  std::deque<std::future<Result>> running_;
};

}  // namespace rest_client
