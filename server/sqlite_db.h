#pragma once
// A small RAII layer over SQLite: connections, prepared statements with bound values,
// transactions, and a pool of connections to one database file so that readers never wait
// behind a long write (WAL mode).

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvix_local {

// A storage failure, with SQLite's primary result code (SQLITE_CONSTRAINT for a duplicate key).
struct StorageError : std::runtime_error {
  StorageError(int result_code, const std::string& text)
      : std::runtime_error(text), code(result_code) {}
  int code;
};

class Database {
 public:
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(const std::string& sql);
  // BEGIN IMMEDIATE without queueing behind another writer: false when one holds the lock.
  bool begin_at_once();
  sqlite3* get() const { return db_; }
  int changes() const { return sqlite3_changes(db_); }

 private:
  sqlite3* db_ = nullptr;
  int busy_tries_;  // how often a writer that finds the database held tries again, a ms apart
};

class Statement {
 public:
  Statement(const Database& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, const std::string& value);
  Statement& bind_blob(int index, const void* data, std::size_t size);
  // Bound without a copy: the caller keeps the bytes until the statement has stepped.
  Statement& bind_unchanged(int index, std::string_view text);
  Statement& bind_blob_unchanged(int index, const void* data, std::size_t size);
  Statement& bind_null(int index);
  // Makes the statement ready to run again with new values.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // Steps once: true while a row is available.
  bool step();
  void run() {
    while (step()) {
    }
  }

  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string text(int column) const;
  const char* blob_data(int column) const {
    return static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  }
  std::size_t blob_size(int column) const {
    return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
  }
  bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A write transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }
  // Begun only if no other writer holds the lock; else throws StorageError SQLITE_BUSY at once.
  struct AtOnce {};
  Transaction(Database& db, AtOnce) : db_(db) {
    if (!db_.begin_at_once()) throw StorageError(SQLITE_BUSY, "the store is being written");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    db_.exec("COMMIT");
    done_ = true;
  }

 private:
  Database& db_;
  bool done_ = false;
};

// Connections to one file, handed out one per caller and taken back when the lease ends.
class ConnectionPool {
 public:
  explicit ConnectionPool(std::string path) : path_(std::move(path)) {}

  class Lease {
   public:
    Lease(ConnectionPool& pool, std::unique_ptr<Database> db) : pool_(pool), db_(std::move(db)) {}
    ~Lease() { pool_.give_back(std::move(db_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Database& operator*() const { return *db_; }
    Database* operator->() const { return db_.get(); }

   private:
    ConnectionPool& pool_;
    std::unique_ptr<Database> db_;
  };

  Lease take();
  const std::string& path() const { return path_; }

 private:
  void give_back(std::unique_ptr<Database> db);

  std::string path_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Database>> idle_;
};

}  // namespace orvix_local
