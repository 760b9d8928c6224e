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

// A dataset's value file mapped for reading; empty when there is none.
class VectorFileView {
 public:
  VectorFileView(const std::string& path, int dim);
  ~VectorFileView();
  VectorFileView(const VectorFileView&) = delete;
  VectorFileView& operator=(const VectorFileView&) = delete;
  // The values of `row`; throws StorageError when the file does not hold it.
  const float* row(std::int64_t row) const;

 private:
  std::string path_;
  std::size_t row_bytes_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace orvix_local
