#pragma once
// Cutting a data file into shards at record boundaries, paired with string ids.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upload/input_file.h"
#include "upload/shard_builder.h"
#include "upload/upload_plan.h"
#include "upload/vector_files.h"

namespace rest_client {

// Where a resumed upload's reader begins: the first byte and record not yet stored, and the
// hash of the bytes before them.
struct ResumeFrom {
  std::uint64_t offset = 0;
  std::uint64_t first_record = 1;
  std::uint64_t first_line = 1;  // the line the offset begins (messages name lines)
  std::shared_ptr<const RunningHash> hash;
};

struct ReaderInput {
  InputFile* file = nullptr;  // the upload's one open of its data file, which names its path
  std::string ids_path;       // empty when no string-id file was named
  std::string format;         // "csv" or "libsvm" for the line readers, whose values are checked
  // CSV: the fields that hold no vector values, as the service reads them (a header name, else a
  // 1-based column number).
  std::string id_field;
  std::vector<std::string> attribute_fields;
  // JSON: where an element's vector is (with field names) and what kind it is; for a dry run's
  // look at each element.
  bool field_names = false;
  std::string data_field;
  bool sparse = false;
  // npy, fvecs, bvecs: where the vectors lie and how their values are stored.
  std::optional<VectorFileLayout> vector_file;
  std::optional<ResumeFrom> resume;
  bool keep_hash = false;  // an upload's journal names the hash of the bytes read
};

// The reader's input: the files, and what the upload body says of the fields.
ReaderInput reader_input(InputFile& file, const UploadPlan& plan, const nlohmann::json& body);
// Runs the reader the plan chose.
void read_upload_file(ShardOutput& output, const ReaderInput& input, UploadReader reader,
                      long long record_size, bool floats);

// libsvm files and CSV files without field names: one record per line.
void read_line_file(ShardOutput& transfer, const ReaderInput& input);
// CSV with field names: the header line starts every shard.
void read_csv_with_header(ShardOutput& transfer, const ReaderInput& input);
// JSON: the elements of the top-level array, sent in compact form.
void read_json_file(ShardOutput& transfer, const ReaderInput& input);
// Raw vectors of `record_size` bytes, or the vectors of an embedding file (input.vector_file)
// widened to float32; float32 values (`floats`) must be finite.
void read_binary_file(ShardOutput& transfer, const ReaderInput& input, long long record_size,
                      bool floats);

}  // namespace rest_client
