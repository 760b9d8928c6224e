#pragma once
// Turning the records of an uploaded shard (CSV, JSON, libsvm, binary) into vectors.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/kept_buffers.h"
#include "server/limits.h"
#include "server/store.h"

namespace orvix_local {

struct ShardFormat {
  std::string file_format;
  bool has_field_names = true;
  std::string vector_type;
  std::string id_field;                 // a field name, or a 1-based column number
  std::vector<std::string> attributes;  // field names or 1-based column numbers
  std::string data_field;               // JSON with field names
  int binary_dim = 0;
  std::string binary_dtype;
};

// Throws ApiError with a text saying which record is wrong, or which limit a shard goes over.
// Values must be finite 32-bit numbers, ids UTF-8 text. Records without an id get none (an empty
// id); `ids`, when given, are paired with the records in order. Throws Stopping when `stop` is
// raised part way. `in_place`: float32 binary records point into `data`, which the caller keeps
// for as long as the records, rather than holding copies.
std::vector<VectorRecord> parse_records(std::string_view data, const ShardFormat& format,
                                        const std::vector<std::string>* ids,
                                        const ServiceLimits& limits,
                                        const std::atomic<bool>* stop = nullptr,
                                        bool in_place = false);

// The string ids of a shard (one a line): more than --max-records, a line of more than
// kMaxLineBytes or one that is not UTF-8 is refused.
std::vector<std::string> shard_ids(std::string_view text, const ServiceLimits& limits);

// Pairs the records with their ids, when given; a count that differs throws.
std::vector<VectorRecord> with_ids(std::vector<VectorRecord> records,
                                   const std::vector<std::string>* ids);

// What each column of a CSV shard holds, from its format and, when it has field names, its
// header line.
struct CsvColumns {
  enum Kind : std::uint8_t { kValue, kId, kAttribute };
  // Takes the header line off the front of `data` when the shard has one.
  CsvColumns(const ShardFormat& format, std::string_view& data);
  Kind kind(std::size_t column) const { return column < kinds.size() ? kinds[column] : kValue; }

  std::vector<Kind> kinds;  // past its end, a column holds values
  std::vector<std::string> attribute_names;
  std::size_t id_column = 0;
  bool has_id = false;
  std::size_t first_line = 1;  // the number of the first line after the header
};

// A CSV shard read a piece of whole lines at a time, in order, while the rest of it is still
// being decompressed; the first piece begins with the header, when there is one. Line numbers
// and errors are as for the whole shard, told in line order; the record limit is checked as the
// lines come, so the count told is that of the lines read when it was passed.
class CsvRecords {
 public:
  CsvRecords(const ShardFormat& format, const ServiceLimits& limits, const std::atomic<bool>* stop);
  // The records of the next lines: whole ones, but for a last line without a break. With
  // `values`, an empty block, the records point into it, and its holder keeps it for them. They
  // are made in the memory of `room`.
  std::vector<VectorRecord> next(std::string_view lines, std::vector<float>* values = nullptr,
                                 std::vector<VectorRecord> room = {});

 private:
  const ShardFormat& format_;
  const ServiceLimits& limits_;
  const std::atomic<bool>* stop_;
  std::optional<CsvColumns> columns_;
  std::size_t lines_ = 0;      // lines read, the header aside
  std::size_t next_line_ = 1;  // counted from the first line after the header
};

// Binary vectors (uint8 or float32, `dim` of them each) fed in pieces of any size, as they are
// decompressed, so that the raw shard is never held whole. `in_place`: float32 records point
// into the bytes fed, which outlive them, unless a piece is fed as not `staying`; one cut across
// two pieces is copied all the same. `batches`, when given, lends each batch its memory, room for
// `batch_records` records.
class BinaryRecords {
 public:
  BinaryRecords(int dim, const std::string& dtype, const ServiceLimits& limits,
                bool in_place = false, KeptVectors<VectorRecord>* batches = nullptr,
                std::size_t batch_records = 0);
  void feed(const char* data, std::size_t size, bool staying = true);
  // The records read since the last call, handed on before the rest are read.
  std::vector<VectorRecord> take_ready();
  std::size_t ready() const { return records_.size(); }
  std::vector<VectorRecord> finish();

 private:
  void take(const char* vector, bool stays);

  int dim_;
  bool floats_;
  bool in_place_;
  KeptVectors<VectorRecord>* batches_;
  std::size_t batch_records_;
  const ServiceLimits& limits_;
  std::size_t size_ = 0;    // bytes a vector
  std::size_t bytes_ = 0;   // bytes fed
  std::size_t handed_ = 0;  // records handed on by take_ready
  std::string partial_;
  std::vector<VectorRecord> records_;
};

// Query vectors of a file search: CSV without field names, JSON arrays, libsvm, or float32.
std::vector<VectorRecord> parse_query_file(std::string_view data, const std::string& format,
                                           const ServiceLimits& limits);

}  // namespace orvix_local
