#pragma once
// The file formats UPLOAD reads, one entry each: the grammar's check, UPLOAD -h, completion, the
// upload plan, the dry run and the readers all take what a format means from here.

#include <string>
#include <string_view>
#include <vector>

namespace rest_client {

// How a format's records are read.
enum class FormatReader {
  kLines,       // one record per line
  kCsv,         // comma-separated values, with or without a header line
  kJson,        // one top-level array of records
  kBinary,      // raw vectors of --binary_dim values of --binary_dtype
  kVectorFile,  // an embedding file whose header says its dimension and value type
};

// What vectors a format holds: asked for with --vector_type, or fixed by the format.
enum class FormatVectors { kAsked, kSparse, kDense };

struct FileFormat {
  const char* name;     // as typed after --file_format
  const char* sent_as;  // the service's file_format for it
  FormatReader reader;
  FormatVectors vectors;
  bool field_names;         // --has_field_names is required, and names the id and attribute fields
  const char* description;  // after the name in UPLOAD -h; empty for none
};

const std::vector<FileFormat>& file_formats();
// The entry for `name`; nullptr for a format no entry names.
const FileFormat* find_file_format(std::string_view name);

// The lines of UPLOAD -h about --file_format.
const std::vector<std::string>& file_format_help();
// The formats the service knows by the name it is told, as its refusal lists them: "csv", ...
std::string service_format_list();

}  // namespace rest_client
