#pragma once
// The checks of a CSV or libsvm record's values: an upload refuses a value the service would
// not take as a finite number, and a dry run notes each record's problems.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "upload/file_readers.h"

namespace rest_client {

// Where a line's problem lies, in words.
struct LinePlace {
  std::uint64_t record, line, offset;
};

// The columns of a CSV record that hold no vector values: the id's and the attributes', named
// as the service reads them (a header name, else a 1-based number).
struct CsvColumns {
  std::vector<bool> skip;
  std::optional<std::size_t> id;
};

CsvColumns text_columns(const ReaderInput& input, const std::vector<std::string_view>& header);
// A dry run's look at a header: the id and attribute fields it names must be there.
void check_header(ShardOutput& output, const ReaderInput& input,
                  const std::vector<std::string_view>& names);
std::vector<std::string_view> split_csv(std::string_view line);
// `ids_from_file`: the record's id comes from the string-id file, not from its id column.
void check_csv_values(ShardOutput& output, const ReaderInput& input, std::string_view line,
                      const CsvColumns& columns, const LinePlace& place, bool ids_from_file);
void check_libsvm_values(ShardOutput& output, const ReaderInput& input, std::string_view line,
                         const LinePlace& place);

}  // namespace rest_client
