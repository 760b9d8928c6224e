#pragma once
// Work spread over threads whose results are used in the order the work was handed out.

#include <cstddef>
#include <deque>
#include <future>
#include <utility>

namespace rest_client {

// Runs each task on a thread of its own, at most `limit` at once, and hands the results (or
// rethrows the exceptions) in the order the tasks were started. Tasks still running when the
// object goes are waited for.
template <class Result>
class OrderedTasks {
 public:
  explicit OrderedTasks(std::size_t limit) : limit_(limit < 1 ? 1 : limit) {}

  // When `limit` tasks are running, first hands the oldest one's result to `use`.
  template <class Task, class Use>
  void start(Task&& task, Use&& use) {
    if (running_.size() >= limit_) next(use);
    running_.push_back(std::async(std::launch::async, std::forward<Task>(task)));
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

  std::size_t limit_;
  std::deque<std::future<Result>> running_;
};

}  // namespace rest_client
