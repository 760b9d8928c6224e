#include "server/sqlite_db.h"

#include <chrono>
#include <thread>

namespace orvix_local {
namespace {

// Writers queue this long behind a long job's transaction; readers never wait in WAL mode.
constexpr int kBusyWaitMs = 120000;

// A writer that finds the database held tries again every millisecond. SQLite's own wait sleeps
// longer the longer it has waited (up to 100 ms a try), so under a stream of short writes the
// writer that has waited longest loses every turn to those that came after it.
int wait_turn(void* tries_allowed, int tries) {
  if (tries >= *static_cast<const int*>(tries_allowed)) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

void check(sqlite3* db, int code) {
  if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE) {
    throw StorageError(code & 0xff, std::string("storage error: ") + sqlite3_errmsg(db));
  }
}

}  // namespace

Database::Database(const std::string& path) : busy_tries_(kBusyWaitMs) {
  const int code =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw StorageError(code, "cannot open the database " + path + ": " + message);
  }
  sqlite3_busy_handler(db_, wait_turn, &busy_tries_);
  // Pages of 16 KiB for a new database: a shard's records are written with a quarter of the
  // calls and pages of a 4 KiB one. (An existing database keeps its page size.)
  exec("PRAGMA page_size=16384");
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  exec("PRAGMA foreign_keys=OFF");
}

Database::~Database() {
  sqlite3_close(db_);
}

bool Database::begin_at_once() {
  busy_tries_ = 0;
  const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  busy_tries_ = kBusyWaitMs;
  if ((code & 0xff) == SQLITE_BUSY) return false;
  check(db_, code);
  return true;
}

void Database::exec(const std::string& sql) {
  char* error = nullptr;
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    const std::string message = error ? error : "unknown";
    sqlite3_free(error);
    throw StorageError(code & 0xff, "storage error: " + message);
  }
}

Statement::Statement(const Database& db, const char* sql) : db_(db.get()) {
  check(db_, sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  check(db_, sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

Statement& Statement::bind(int index, const std::string& value) {
  check(db_, sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8));
  return *this;
}

Statement& Statement::bind_blob(int index, const void* data, std::size_t size) {
  check(db_, sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::bind_unchanged(int index, std::string_view text) {
  check(db_,
        sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8));
  return *this;
}

Statement& Statement::bind_blob_unchanged(int index, const void* data, std::size_t size) {
  check(db_, sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_STATIC));
  return *this;
}

Statement& Statement::bind_null(int index) {
  check(db_, sqlite3_bind_null(stmt_, index));
  return *this;
}

bool Statement::step() {
  const int code = sqlite3_step(stmt_);
  check(db_, code);
  return code == SQLITE_ROW;
}

std::string Statement::text(int column) const {
  const auto* data = sqlite3_column_text(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data),
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

ConnectionPool::Lease ConnectionPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      auto db = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(db));
    }
  }
  return Lease(*this, std::make_unique<Database>(path_));
}

void ConnectionPool::give_back(std::unique_ptr<Database> db) {
  if (!db) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < 16) idle_.push_back(std::move(db));
}

}  // namespace orvix_local
