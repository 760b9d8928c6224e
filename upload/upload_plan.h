#pragma once
// The UPLOAD statement's options checked against the file format, with no file and no service:
// options in; the upload body's members, the reader to use and what to ask, or the error text,
// out.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "language/statement.h"
#include "upload/vector_files.h"

namespace rest_client {

enum class UploadReader { kLines, kCsvWithHeader, kJson, kBinary };

struct UploadPlan {
  nlohmann::json body;  // every member of the upload body but the key and the per-shard ones
  std::string dataset;
  UploadReader reader = UploadReader::kLines;
  long long record_size = 0;  // binary: bytes per vector
  bool floats = false;        // binary: float32 values
  bool ask_columns = false;   // headerless CSV: the id and attribute columns are asked for
  std::string ids_path;       // the string-id file, when one was named
  bool dry_run = false;       // read the whole file, send nothing
  bool resume = false;        // go on from the journal of an upload that stopped
  bool resend_unanswered = false, skip_unanswered = false;
  // npy, fvecs, bvecs: the format; their dimension and value type come from the file, which
  // --binary_dim and --binary_dtype, when given, must agree with.
  std::string vector_file;
  std::optional<int> expected_dim;
  std::optional<std::string> expected_dtype;
  std::optional<VectorFileLayout> vector_layout;  // once the file's header is read
  std::vector<std::string> invalid_arguments;     // options no format takes
};

struct UploadPlanResult {
  std::vector<std::string> warnings;  // shown first, whatever follows
  std::optional<UploadPlan> plan;
  std::string error;  // without a plan: why
};

UploadPlanResult plan_upload(const std::string& project, Options options);

}  // namespace rest_client
