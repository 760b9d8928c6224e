#pragma once
// Background jobs (attaching an index, a dense batch, an upload shard) run one at a time on a
// worker thread through "pending", "in_progress" and "finished" or "failed".

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace orvix_local {

struct JobState {
  std::string owner;
  std::string status;   // pending, in_progress, finished, failed
  std::string message;  // what a finished job did
  std::string error;    // why a job failed
};

class JobQueue {
 public:
  JobQueue();
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // `work` returns the finished job's message or throws; a job is finished only once its work
  // (and so its data) is committed.
  std::string submit(const std::string& owner, std::function<std::string()> work);
  std::optional<JobState> state(const std::string& owner, const std::string& id);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::string, std::function<std::string()>>> queue_;
  std::map<std::string, JobState> states_;
  unsigned long long next_ = 1;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace orvix_local
