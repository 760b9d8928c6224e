#include "server/jobs.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

namespace orvix_local {
namespace {

void write_file(const std::string& path, const std::vector<std::string_view>& pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw std::runtime_error("cannot keep the job's input: " + std::string(strerror(errno)));
  for (const auto data : pieces) {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const std::string reason = strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        throw std::runtime_error("cannot keep the job's input: " + reason);
      }
      done += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
}

}  // namespace

JobQueue::JobQueue(Store& store, std::string payload_dir)
    : store_(store), payload_dir_(std::move(payload_dir)) {}

JobQueue::~JobQueue() {
  stop();
}

void JobQueue::start(Runner runner) {
  runner_ = std::move(runner);
  auto db = store_.pool().take();
  db->exec(
      "UPDATE jobs SET status = 'failed', "
      "error = 'the service stopped while this job ran; nothing was stored' "
      "WHERE status = 'in_progress'");
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
  static thread_local std::mt19937_64 random{std::random_device{}()};
  auto db = store_.pool().take();
  Statement next(*db,
                 "INSERT INTO sequences(name, next) VALUES('jobs', 2) "
                 "ON CONFLICT(name) DO UPDATE SET next = next + 1 RETURNING next - 1");
  next.step();
  const std::int64_t seq = next.integer(0);
  next.run();
  const std::string id = "job-" + std::to_string(seq) + "-" + std::to_string(random() % 1000000);
  if (!payload.empty()) write_file(payload_dir_ + "/" + id, payload);
  Statement insert(*db,
                   "INSERT INTO jobs(id, seq, owner, kind, status, dataset_id, index_id, details) "
                   "VALUES(?, ?, ?, ?, 'pending', ?, ?, ?)");
  insert.bind(1, id)
      .bind(2, seq)
      .bind(3, owner)
      .bind(4, kind)
      .bind(5, dataset_id)
      .bind(6, index_id)
      .bind(7, details.dump())
      .run();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(id);
  }
  wake_.notify_all();
  return id;
}

std::optional<JobState> JobQueue::state(const std::string& owner, const std::string& id) {
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
  stopping_ = true;
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void JobQueue::finish(Database& db, const std::string& id, const std::string& message) {
  Statement done(db,
                 "UPDATE jobs SET status = 'finished', message = ? "
                 "WHERE id = ? AND status = 'in_progress'");
  done.bind(1, message).bind(2, id).run();
}

void JobQueue::settle(const std::string& id, const std::string& status, const std::string& text) {
  auto db = store_.pool().take();
  Statement update(*db,
                   "UPDATE jobs SET status = ?, message = CASE WHEN ? = 'finished' THEN ? ELSE "
                   "message END, error = CASE WHEN ? = 'failed' THEN ? ELSE error END "
                   "WHERE id = ? AND status = 'in_progress'");
  update.bind(1, status).bind(2, status).bind(3, text).bind(4, status).bind(5, text).bind(6, id);
  update.run();
}

void JobQueue::run() {
  for (;;) {
    std::function<void()> task;
    std::string id;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || !tasks_.empty(); });
      if (stopping_) return;
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
      malloc_trim(0);
      continue;
    }
    Job job;
    try {
      auto db = store_.pool().take();
      Statement find(*db,
                     "SELECT kind, dataset_id, index_id, details FROM jobs "
                     "WHERE id = ? AND status = 'pending'");
      if (!find.bind(1, id).step()) continue;
      job = {id, find.text(0), find.integer(1), find.integer(2), json::parse(find.text(3)), ""};
      Statement begin(*db, "UPDATE jobs SET status = 'in_progress' WHERE id = ?");
      begin.bind(1, id).run();
    } catch (const std::exception&) {
      continue;  // the store is failing; the job stays queued for the next start
    }
    const std::string payload = payload_dir_ + "/" + id;
    if (::access(payload.c_str(), R_OK) == 0) job.payload_path = payload;
    bool requeue = false;
    try {
      settle(id, "finished", runner_(job));
    } catch (const Stopping&) {
      requeue = true;
    } catch (const std::exception& e) {
      try {
        settle(id, "failed", e.what());
      } catch (const std::exception&) {
      }
    }
    if (requeue) {
      try {
        auto db = store_.pool().take();
        Statement back(*db, "UPDATE jobs SET status = 'pending' WHERE id = ?");
        back.bind(1, id).run();
      } catch (const std::exception&) {
      }
      return;
    }
    if (!job.payload_path.empty()) ::unlink(job.payload_path.c_str());
    malloc_trim(0);
  }
}

}  // namespace orvix_local
