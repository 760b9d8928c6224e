#pragma once
// The dense values of one dataset, in a file of their own beside the database: row r's values
// are at r x dim x 4 bytes. Rows are never reused, so a row is written once, before the
// transaction that records it commits; values past the dataset's next row (a write whose
// transaction rolled back) are never read and are overwritten by the next insert. Keeping the
// values out of the database's pages spares them the write-ahead log and its checkpoint.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvix_local {

std::string vector_file_path(const std::string& directory, std::int64_t dataset_id);

// Writes `rows.size()` consecutive rows from `first_row`, each `dim` values, and makes them
// durable before returning. Throws StorageError (SQLITE_FULL when the disk is full).
void write_vector_rows(const std::string& path, std::int64_t first_row, int dim,
                       const std::vector<const float*>& rows);

// Frees the disk space of removed rows where the file system can (whole blocks only); the
// bytes read as zeros after. Only for rows whose removal is committed.
void release_vector_rows(const std::string& path, int dim, const std::vector<std::int64_t>& rows);

// The file's size; 0 when there is none.
std::size_t vector_file_size(const std::string& path);

// `length` bytes of a value file from `offset`, mapped for reading and shared with the page
// cache its writers write to, so rows written after it was mapped are seen through it. Only
// bytes the file holds may be read.
class ValueWindow {
 public:
  ValueWindow(const std::string& path, std::size_t offset, std::size_t length);
  ~ValueWindow();
  ValueWindow(const ValueWindow&) = delete;
  ValueWindow& operator=(const ValueWindow&) = delete;
  const char* data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  std::size_t mapped_ = 0;
  const char* data_ = nullptr;
};

}  // namespace orvix_local
