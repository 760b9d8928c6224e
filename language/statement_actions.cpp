#include "language/statement_actions.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "language/diagnostics.h"
#include "language/file_formats.h"
#include "language/option_values.h"
#include "language/vocabulary.h"

namespace {

bool reject_upload(const char* message) {
  yyerror(message);
  print_help(statement_def("UPLOAD"));
  return false;
}

}  // namespace

bool attach_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index, std::string dist_type,
                         const std::optional<std::string>& large_index) {
  bool large = false;
  if (large_index) {
    const auto yes = yes_or_no_word(*large_index);
    if (!yes) {
      yyerror(
          "Invalid value for large_index. Expected one of: \"true\", \"false\", \"yes\", \"no\", "
          "\"1\", \"0\".");
      return false;
    }
    large = *yes;
  }
  ctx.statement = stmt::AttachIndex{std::move(project), std::move(dataset), std::move(index),
                                    std::move(dist_type), large};
  return true;
}

bool init_dataset_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string vector_type, const std::optional<std::string>& vector_dim) {
  const bool sparse = vector_type == "sparse";
  if (!vector_dim && !sparse) {
    yyerror("vector_dim is required for non-sparse vector types");
    print_help(statement_def("INIT_DATASET"));
    return false;
  }
  if (vector_dim && sparse) yywarning("vector_dim is ignored for sparse vector type");
  ctx.statement = stmt::InitDataset{std::move(project), std::move(dataset), std::move(vector_type),
                                    vector_dim.value_or("0")};
  return true;
}

bool upload_action(ParseContext& ctx, std::string project, std::string file_path, Options options) {
  if (!options.file_format) return reject_upload("Missing required argument: --file_format");
  const rest_client::FileFormat* known = rest_client::find_file_format(*options.file_format);
  if (known != nullptr && known->field_names && !options.has_field_names) {
    return reject_upload("Missing required argument: --has_field_names (required for csv/json)");
  }
  debug("[UPLOAD] File: " + file_path);
  for (const auto& [option, value] : options.given)
    debug(std::string("[ARG] ") + option->key + " = " + value);
  ctx.statement = stmt::Upload{std::move(project), std::move(file_path), std::move(options)};
  return true;
}
