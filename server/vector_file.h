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

// A dataset's value file read in ascending row order, a window of it at a time, so that loading
// a large dataset holds no more of the file than the window.
class VectorFileReader {
 public:
  VectorFileReader(std::string path, int dim);
  ~VectorFileReader();
  VectorFileReader(const VectorFileReader&) = delete;
  VectorFileReader& operator=(const VectorFileReader&) = delete;
  // The values of `row`, valid until the next call; throws StorageError when the file does
  // not hold it.
  const float* row(std::int64_t row);

 private:
  void unmap();

  std::string path_;
  std::size_t row_bytes_;
  int fd_ = -1;
  std::size_t size_ = 0;
  char* window_ = nullptr;  // the file's bytes [window_at_, window_at_ + window_bytes_)
  std::size_t window_at_ = 0, window_bytes_ = 0;
};

}  // namespace orvix_local
