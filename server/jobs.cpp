#include "server/jobs.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

namespace orvix_local {
namespace {

// Gives a file written in full its name; until then no one reads it as a job's.
void keep_as(StagedInput& staged, const std::string& path) {
  const std::string written = staged.release();
  if (::rename(written.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(written.c_str());
    throw std::runtime_error("cannot keep the job's input: " + std::string(strerror(error)));
  }
}

}  // namespace

JobQueue::JobQueue(Store& store, std::string payload_dir)
    : store_(store), payload_dir_(std::move(payload_dir)) {}

JobQueue::~JobQueue() {
  stop();
}

void JobQueue::start(Runner runner, std::function<void()> idle) {
  runner_ = std::move(runner);
  idle_ = std::move(idle);
  auto db = store_.pool().take();
  recover_queued(*db);
  {
    // A job that was running when the service died stored nothing; an attach takes its index.
    Transaction transaction(*db);
    db->exec(
        "DELETE FROM indices WHERE id IN "
        "(SELECT index_id FROM jobs WHERE status = 'in_progress' AND kind = 'attach')");
    db->exec(
        "UPDATE jobs SET status = 'failed', "
        "error = 'the service stopped while this job ran; nothing was stored' "
        "WHERE status = 'in_progress'");
    transaction.commit();
  }
  std::set<std::string> waiting;
  Statement pending(*db, "SELECT id FROM jobs WHERE status = 'pending' ORDER BY seq");
  while (pending.step()) {
    queue_.push_back(pending.text(0));
    waiting.insert(queue_.back());
  }
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(payload_dir_, ignored)) {
    if (waiting.count(entry.path().filename().string()) == 0) {
      std::filesystem::remove(entry.path(), ignored);
    }
  }
  worker_ = std::thread([this] { run(); });
}

std::string JobQueue::submit(const std::string& owner, const std::string& kind,
                             std::int64_t dataset_id, std::int64_t index_id, const json& details,
                             const std::vector<std::string_view>& payload) {
  std::optional<StagedInput> input;
  if (!payload.empty()) {
    input.emplace(payload_dir_);
    for (const auto piece : payload) input->write(piece);
  }
  return input ? submit(owner, kind, dataset_id, index_id, details, std::move(*input))
               : submit(owner, kind, dataset_id, index_id, details, std::nullopt);
}

std::string JobQueue::submit(const std::string& owner, const std::string& kind,
                             std::int64_t dataset_id, std::int64_t index_id, const json& details,
                             std::optional<StagedInput> input,
                             const std::function<void(const std::string& id)>& before_run) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  QueuedJob row{"", 0, owner, kind, dataset_id, index_id, details.dump()};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    row.seq = next_seq_++;
  }
  row.id = "job-" + std::to_string(row.seq) + "-" + std::to_string(random() % 1000000);
  if (input) keep_as(*input, input_path(row.id));
  bool in_table = false;
  try {
    auto db = store_.pool().take();
    Transaction transaction(*db, Transaction::AtOnce{});
    insert_row(*db, row);
    transaction.commit();
    in_table = true;
  } catch (const StorageError& e) {
    if (e.code != SQLITE_BUSY) throw;
  }
  if (!in_table) {
    // Another job is storing its data: the row waits in a file rather than the client in line.
    StagedInput file(payload_dir_);
    file.write(json{{"id", row.id},
                    {"seq", row.seq},
                    {"owner", row.owner},
                    {"kind", row.kind},
                    {"dataset_id", row.dataset_id},
                    {"index_id", row.index_id},
                    {"details", row.details}}
                   .dump());
    keep_as(file, input_path(row.id) + ".queued");
  }
  if (before_run) before_run(row.id);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!in_table) queued_.emplace(row.id, row);
  queue_.push_back(row.id);
  wake_.notify_all();
  return row.id;
}

void JobQueue::insert_row(Database& db, const QueuedJob& row) {
  Statement insert(db,
                   "INSERT OR IGNORE INTO jobs(id, seq, owner, kind, status, dataset_id, "
                   "index_id, details) VALUES(?, ?, ?, ?, 'pending', ?, ?, ?)");
  insert.bind(1, row.id)
      .bind(2, row.seq)
      .bind(3, row.owner)
      .bind(4, row.kind)
      .bind(5, row.dataset_id)
      .bind(6, row.index_id)
      .bind(7, row.details)
      .run();
  Statement next(db,
                 "INSERT INTO sequences(name, next) VALUES('jobs', ?) "
                 "ON CONFLICT(name) DO UPDATE SET next = MAX(next, excluded.next)");
  next.bind(1, row.seq + 1).run();
}

void JobQueue::record_queued() {
  std::vector<QueuedJob> rows;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, row] : queued_) rows.push_back(row);
  }
  if (rows.empty()) return;
  {
    auto db = store_.pool().take();
    Transaction transaction(*db);
    for (const auto& row : rows) insert_row(*db, row);
    transaction.commit();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& row : rows) {
    ::unlink((input_path(row.id) + ".queued").c_str());
    queued_.erase(row.id);
  }
}

void JobQueue::recover_queued(Database& db) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(payload_dir_, ignored)) {
    if (entry.path().extension() == ".queued") files.push_back(entry.path().string());
  }
  {
    Transaction transaction(db);
    for (const auto& file : files) {
      json saved;
      try {
        saved = json::parse(read_job_input(file), nullptr, false);
      } catch (const std::exception&) {
        // unreadable: taken as damaged below
      }
      const auto text = [&](const char* name) {
        return saved.is_object() && saved.contains(name) && saved.at(name).is_string()
                   ? saved.at(name).get<std::string>()
                   : std::string();
      };
      const auto number = [&](const char* name) {
        return saved.is_object() && saved.contains(name) && saved.at(name).is_number_integer()
                   ? saved.at(name).get<std::int64_t>()
                   : std::int64_t{0};
      };
      const QueuedJob row{text("id"),           number("seq"),      text("owner"),  text("kind"),
                          number("dataset_id"), number("index_id"), text("details")};
      if (row.id.empty() || row.seq <= 0 || row.owner.empty()) {
        std::fprintf(stderr, "orvix-local: %s is damaged; the job it held is dropped\n",
                     file.c_str());
        continue;
      }
      insert_row(db, row);
    }
    transaction.commit();
  }
  for (const auto& file : files) ::unlink(file.c_str());
  Statement next(db,
                 "SELECT MAX(COALESCE((SELECT next FROM sequences WHERE name = 'jobs'), 1), "
                 "COALESCE((SELECT MAX(seq) + 1 FROM jobs), 1))");
  next.step();
  next_seq_ = next.integer(0);
}

std::optional<JobState> JobQueue::state(const std::string& owner, const std::string& id) {
  {
    // Looked at before the table: a row leaves this list only once it is in the table.
    std::lock_guard<std::mutex> lock(mutex_);
    const auto queued = queued_.find(id);
    if (queued != queued_.end()) {
      if (queued->second.owner != owner) return std::nullopt;
      return JobState{"pending", "", ""};
    }
  }
  auto db = store_.pool().take();
  Statement find(*db, "SELECT status, message, error FROM jobs WHERE id = ? AND owner = ?");
  if (!find.bind(1, id).bind(2, owner).step()) return std::nullopt;
  return JobState{find.text(0), find.text(1), find.text(2)};
}

void JobQueue::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void JobQueue::stop() {
  {
    // Raised under the lock, so a worker between its look at the flag and its wait cannot miss
    // the wake-up.
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void JobQueue::finish(Database& db, const std::string& id, const std::string& message) {
  Statement done(db,
                 "UPDATE jobs SET status = 'finished', message = ? "
                 "WHERE id = ? AND status = 'in_progress'");
  done.bind(1, message).bind(2, id).run();
}

template <class Step>
auto JobQueue::patiently(Step&& step, int attempts) {
  for (int attempt = 1;; ++attempt) {
    try {
      return step();
    } catch (const StorageError&) {
      if (attempt >= attempts || stopping_) throw;
      pause(std::chrono::milliseconds(50 * attempt));
    }
  }
}

void JobQueue::settle_deferred(const std::string& id, bool finished, const std::string& text) {
  try {
    patiently(
        [&] {
          settle(id, finished ? "finished" : "failed", text);
          return 0;
        },
        8);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvix-local: job %s could not be settled: %s\n", id.c_str(), e.what());
  }
}

bool JobQueue::idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.empty() && tasks_.empty() && !running_;
}

void JobQueue::settle_again() {
  std::deque<std::pair<std::string, std::string>> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(unsettled_);
  }
  for (auto& [id, reason] : jobs) {
    try {
      settle(id, "failed", reason);
    } catch (const std::exception&) {
      std::lock_guard<std::mutex> lock(mutex_);
      unsettled_.push_back({id, reason});
    }
  }
}

void JobQueue::prune_history() {
  // Only the newest settled jobs are kept: their states are what clients ask for. The table is
  // looked at again once a thousand more have settled.
  if (settled_since_prune_ < 1000 && pruned_once_) return;
  settled_since_prune_ = 0;
  pruned_once_ = true;
  try {
    auto db = store_.pool().take();
    Statement prune(*db,
                    "DELETE FROM jobs WHERE status IN ('finished', 'failed') AND seq < "
                    "(SELECT seq FROM jobs WHERE status IN ('finished', 'failed') "
                    "ORDER BY seq DESC LIMIT 1 OFFSET ?)");
    prune.bind(1, static_cast<std::int64_t>(kKeptJobs)).run();
  } catch (const std::exception&) {
    // tried again when next idle
  }
}

void JobQueue::trim_when_idle() {
  // Memory goes back to the system once the queue has been idle a while, not between the shards
  // of one upload, whose next job would only fault it in again: freed memory is handed back to
  // the host of a virtual machine, and faulting it in again costs as much as filling it.
  if (!trim_owed_) return;
  trim_owed_ = false;
  if (idle_) idle_();
  malloc_trim(0);
}

void JobQueue::pause(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, time, [this] { return stopping_.load(); });
}

void JobQueue::settle(const std::string& id, const std::string& status, const std::string& text) {
  auto db = store_.pool().take();
  Transaction transaction(*db);
  if (status == "failed") {
    Statement index(*db,
                    "DELETE FROM indices WHERE id = "
                    "(SELECT index_id FROM jobs WHERE id = ? AND kind = 'attach' "
                    "AND status IN ('pending', 'in_progress'))");
    index.bind(1, id).run();
  }
  Statement update(*db,
                   "UPDATE jobs SET status = ?, message = CASE WHEN ? = 'finished' THEN ? ELSE "
                   "message END, error = CASE WHEN ? = 'failed' THEN ? ELSE error END "
                   "WHERE id = ? AND status IN ('pending', 'in_progress')");
  update.bind(1, status).bind(2, status).bind(3, text).bind(4, status).bind(5, text).bind(6, id);
  update.run();
  transaction.commit();
  ++settled_since_prune_;
}

std::optional<std::pair<Job, std::string>> JobQueue::claim(const std::string& id) {
  auto db = store_.pool().take();
  std::pair<Job, std::string> claimed;
  {
    Statement find(*db,
                   "SELECT kind, dataset_id, index_id, details FROM jobs "
                   "WHERE id = ? AND status = 'pending'");
    if (!find.bind(1, id).step()) return std::nullopt;
    claimed.first = {id, find.text(0), find.integer(1), find.integer(2), json(), ""};
    claimed.second = find.text(3);
  }  // the read ends here, so the write below waits its turn instead of failing at once
  Statement begin(*db,
                  "UPDATE jobs SET status = 'in_progress' WHERE id = ? AND status = 'pending'");
  begin.bind(1, id).run();
  if (db->changes() == 0) return std::nullopt;
  return claimed;
}

void JobQueue::run() {
  constexpr int kAttempts = 8;
  for (;;) {
    std::function<void()> task;
    std::string id;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      running_ = false;
      wake_.wait_for(lock, std::chrono::seconds(1),
                     [this] { return stopping_ || !queue_.empty() || !tasks_.empty(); });
      if (stopping_) return;
      if (!unsettled_.empty()) {
        lock.unlock();
        settle_again();
        continue;
      }
      if (queue_.empty() && tasks_.empty()) {  // idle for the wait's second
        lock.unlock();
        prune_history();
        trim_when_idle();
        continue;
      }
      running_ = true;
      if (!tasks_.empty()) {
        task = std::move(tasks_.front());
        tasks_.pop_front();
      } else {
        id = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (task) {
      try {
        task();
      } catch (const std::exception&) {
        // the service's own work is redone when next needed
      }
      trim_owed_ = true;
      continue;
    }
    std::optional<std::pair<Job, std::string>> claimed;
    try {
      claimed = patiently(
          [&] {
            record_queued();
            return claim(id);
          },
          kAttempts);
    } catch (const std::exception&) {
      // The store kept refusing: the job is not dropped but waits for another turn.
      if (stopping_) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(id);
      }
      pause(std::chrono::seconds(1));
      continue;
    }
    if (!claimed) continue;  // no longer pending
    Job& job = claimed->first;
    const std::string payload = payload_dir_ + "/" + id;
    if (::access(payload.c_str(), R_OK) == 0) job.payload_path = payload;
    std::string outcome, failure;
    bool requeue = false;
    try {
      job.details = json::parse(claimed->second);  // details that do not parse fail the job
      outcome = runner_(job);
    } catch (const Stopping&) {
      requeue = true;
    } catch (const Deferred&) {
      continue;  // ended elsewhere
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (requeue) {
      try {
        patiently(
            [&] {
              auto db = store_.pool().take();
              Statement back(*db, "UPDATE jobs SET status = 'pending' WHERE id = ?");
              back.bind(1, id).run();
              return 0;
            },
            kAttempts);
      } catch (const std::exception&) {
        // left in progress: the next start fails it, saying the service stopped
      }
      return;
    }
    try {
      patiently(
          [&] {
            settle(id, failure.empty() ? "finished" : "failed",
                   failure.empty() ? outcome : failure);
            return 0;
          },
          kAttempts);
    } catch (const std::exception& e) {
      // Kept to be settled again, failed with the reason: a job never stays in progress for ever.
      std::fprintf(stderr, "orvix-local: job %s could not be settled: %s\n", id.c_str(), e.what());
      std::lock_guard<std::mutex> lock(mutex_);
      unsettled_.push_back({id, failure.empty()
                                    ? "its end could not be recorded: " + std::string(e.what())
                                    : failure});
    }
    if (!job.payload_path.empty()) ::unlink(job.payload_path.c_str());
    trim_owed_ = true;
  }
}

}  // namespace orvix_local
