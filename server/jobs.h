#pragma once
// Background jobs (attaching an index, a dense batch, an upload shard), kept in SQLite and run
// one at a time on a worker thread through "pending", "in_progress" and "finished" or "failed".
// A job's input waits in a file of its own beside the database. A job that changes data marks
// itself finished inside the transaction that stores its data, so after a crash a job is either
// finished with its data or has stored nothing. At start, jobs that were queued run, and a job
// that was running when the service died is failed with a reason.
// A job submitted while another job's transaction holds the store is not kept waiting for it:
// its row goes to a file beside its input (`<id>.queued`) and into the table between jobs, or
// at the next start.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/job_inputs.h"
#include "server/limits.h"
#include "server/store.h"

namespace orvix_local {

// Thrown by a runner whose job goes on elsewhere (an attach's graph, built by the graph
// builder): the job stays in progress until `settle_deferred` ends it.
struct Deferred {};

struct JobState {
  std::string status;   // pending, in_progress, finished, failed
  std::string message;  // what a finished job did
  std::string error;    // why a job failed
};

// A job's row in the jobs table, as submitted.
struct QueuedJob {
  std::string id;
  std::int64_t seq = 0;
  std::string owner;
  std::string kind;
  std::int64_t dataset_id = 0;
  std::int64_t index_id = 0;
  std::string details;
};

struct Job {
  std::string id;
  std::string kind;
  std::int64_t dataset_id = 0;
  std::int64_t index_id = 0;
  json details;
  std::string payload_path;  // empty when the job has no input file
};

class JobQueue {
 public:
  // Runs one job and returns its message. A job that stores data calls `finish` inside its
  // transaction before committing; any other job is marked finished when it returns.
  using Runner = std::function<std::string(const Job&)>;

  // `payload_dir` holds the input files of queued jobs.
  JobQueue(Store& store, std::string payload_dir);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Starts the worker: queued jobs of an earlier run first. `idle` runs on the worker once the
  // queue has been idle a second after work, before memory goes back to the system.
  void start(Runner runner, std::function<void()> idle = nullptr);
  // The job's input is written, piece after piece, to its file.
  std::string submit(const std::string& owner, const std::string& kind, std::int64_t dataset_id,
                     std::int64_t index_id, const json& details,
                     const std::vector<std::string_view>& payload);
  // Where a job's input is kept until it has run.
  std::string input_path(const std::string& id) const { return payload_dir_ + "/" + id; }
  // A file for a job's input, written before the job is submitted with it. `before_run`, when
  // given, is called with the job's id once its input is in place and before the worker can take
  // the job (work started there, such as reading the input ahead, is never done twice).
  StagedInput stage() { return StagedInput(payload_dir_); }
  std::string submit(const std::string& owner, const std::string& kind, std::int64_t dataset_id,
                     std::int64_t index_id, const json& details, std::optional<StagedInput> input,
                     const std::function<void(const std::string& id)>& before_run = nullptr);
  std::optional<JobState> state(const std::string& owner, const std::string& id);
  // Work of the service's own (building a graph again, dropping deleted vectors), run on the
  // worker between jobs; not kept across restarts.
  void post(std::function<void()> task);
  // Raised when the service stops; long work checks it and throws Stopping.
  const std::atomic<bool>& stopping() const { return stopping_; }
  // Ends the worker: the running job stops and is queued again for the next start.
  void stop();

  static void finish(Database& db, const std::string& id, const std::string& message);
  // Ends a deferred job.
  void settle_deferred(const std::string& id, bool finished, const std::string& text);
  // True when no job waits or runs.
  bool idle();

 private:
  void run();
  // Rows of jobs submitted while the store was being written, put into the table.
  void record_queued();
  // Inside a write transaction: the job's row, and the sequence past it.
  static void insert_row(Database& db, const QueuedJob& row);
  // Rows left in files by an earlier run, put into the table; sets the next sequence number.
  void recover_queued(Database& db);
  // Reads a queued job and marks it in progress; nullopt when it is no longer pending. Its
  // details come as text, which the caller parses.
  std::optional<std::pair<Job, std::string>> claim(const std::string& id);
  // Ends a job. A failed attach takes its index with it, in the same transaction.
  void settle(const std::string& id, const std::string& status, const std::string& text);
  // Runs a step of the queue's own bookkeeping, again after a pause while the store answers
  // that it is busy; rethrows what keeps failing.
  template <class Step>
  auto patiently(Step&& step, int attempts);
  void pause(std::chrono::milliseconds time);
  void trim_when_idle();
  // Jobs whose end could not be recorded, recorded again as failed.
  void settle_again();
  // Drops settled jobs past the newest kKeptJobs.
  void prune_history();

  Store& store_;
  std::string payload_dir_;
  Runner runner_;
  std::function<void()> idle_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  std::int64_t next_seq_ = 1;
  std::map<std::string, QueuedJob> queued_;  // submitted, with their rows still in files
  std::deque<std::function<void()>> tasks_;
  bool running_ = false;                                       // a job or task is under way
  std::deque<std::pair<std::string, std::string>> unsettled_;  // job ids and their reasons
  std::atomic<std::size_t> settled_since_prune_{0};
  bool pruned_once_ = false;
  bool trim_owed_ = false;  // the worker's own: work was done since memory was last trimmed
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace orvix_local
