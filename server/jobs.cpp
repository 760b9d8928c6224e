#include "server/jobs.h"

#include <exception>
#include <random>

namespace orvix_local {

JobQueue::JobQueue() : worker_([this] { run(); }) {}

JobQueue::~JobQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

std::string JobQueue::submit(const std::string& owner, std::function<std::string()> work) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string id =
      "job-" + std::to_string(next_++) + "-" + std::to_string(random() % 1000000);
  states_[id] = {owner, "pending", "", ""};
  queue_.emplace_back(id, std::move(work));
  wake_.notify_all();
  return id;
}

std::optional<JobState> JobQueue::state(const std::string& owner, const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = states_.find(id);
  if (found == states_.end() || found->second.owner != owner) return std::nullopt;
  return found->second;
}

void JobQueue::run() {
  for (;;) {
    std::pair<std::string, std::function<std::string()>> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      states_[job.first].status = "in_progress";
    }
    std::string message, error;
    try {
      message = job.second();
    } catch (const std::exception& e) {
      error = e.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& state = states_[job.first];
    state.status = error.empty() ? "finished" : "failed";
    state.message = message;
    state.error = error;
  }
}

}  // namespace orvix_local
