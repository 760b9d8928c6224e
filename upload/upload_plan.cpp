#include "upload/upload_plan.h"

#include <stdexcept>

#include "client/request.h"
#include "language/file_formats.h"

namespace rest_client {
namespace {

using json = nlohmann::json;

// Fills the plan; throws std::invalid_argument (or the JSON library's errors) with the text
// the user sees.
void fill(UploadPlan& plan, std::vector<std::string>& warnings, const std::string& project,
          Options& options) {
  json& body = plan.body;
  body["compression_type"] = "gzip";
  body["project_name"] = project;

  const auto format_name = take(options.file_format);
  if (!format_name) throw std::invalid_argument("File format argument required!");
  const FileFormat* format = find_file_format(*format_name);
  if (format == nullptr) {
    // The service's own words, kept as they are; UPLOAD -h names the embedding formats too.
    throw std::invalid_argument("File format must be one of " + service_format_list());
  }
  body["file_format"] = format->sent_as;
  const bool field_names = take(options.has_field_names).value_or(true);
  body["has_field_names"] = field_names;

  auto dataset = take(options.dataset_name);
  if (!dataset) {
    throw std::invalid_argument(
        "Argument dataset_name is required for UPLOAD. This is the data collection the vectors "
        "will be added to.");
  }
  body["dataset_name"] = *dataset;
  plan.dataset = *dataset;

  // The id and attribute fields: header names, or column numbers.
  auto take_field_options = [&] {
    if (auto id_field = take(options.vector_id_field_name)) {
      body["vector_id_field_name"] = *id_field;
    }
    if (auto attributes = take(options.attributes)) body["vector_attributes"] = *attributes;
  };
  const auto vector_type = take(options.vector_type);
  if (format->vectors == FormatVectors::kAsked) {
    if (!vector_type) {
      throw std::invalid_argument("Argument vector_type required for " + *format_name +
                                  " file format");
    }
    body["vector_type"] = *vector_type;
  } else {
    const std::string fixed = format->vectors == FormatVectors::kSparse ? "sparse" : "dense";
    body["vector_type"] = fixed;
    if (vector_type) {
      warnings.push_back("Vector type parameter ignored, only " + fixed + " vector supported for " +
                         *format_name);
    }
  }

  const bool csv = format->reader == FormatReader::kCsv;
  if (format->reader == FormatReader::kVectorFile) {
    // They travel as binary files; their dimension and value type are read from the file.
    plan.vector_file = *format_name;
    plan.expected_dim = take(options.binary_dim);
    plan.expected_dtype = take(options.binary_dtype);
  } else if (format->reader == FormatReader::kBinary) {
    const auto dimension = take(options.binary_dim);
    if (!dimension) throw std::invalid_argument("Missing binary_dim argument");
    body["binary_dim"] = *dimension;
    const auto dtype = take(options.binary_dtype);
    if (!dtype) throw std::invalid_argument("Missing binary_dtype argument");
    body["binary_dtype"] = *dtype;
    plan.floats = *dtype == "float32";
    plan.record_size = static_cast<long long>(*dimension) * (plan.floats ? 4 : 1);
  } else if (field_names && format->field_names) {
    if (format->reader == FormatReader::kJson) {
      const auto data_field = take(options.vector_data_field_name);
      if (!data_field) throw std::invalid_argument("Missing vector_data_field_name argument");
      body["vector_data_field_name"] = *data_field;
    }
    take_field_options();
  } else if (csv && options.dry_run) {
    // A dry run asks nothing: the column numbers an upload would ask for come from the options.
    plan.ask_columns = true;
    take_field_options();
  } else {
    if (take(options.vector_id_field_name)) {
      warnings.emplace_back("Argument vector_id_field_name discarded");
    }
    if (take(options.attributes)) warnings.emplace_back("Argument attributes discarded");
    plan.ask_columns = csv;
  }

  // JSON is always read as one array; CSV with field names repeats its header in every shard;
  // the rest is one record per line.
  switch (format->reader) {
    case FormatReader::kJson:
      plan.reader = UploadReader::kJson;
      break;
    case FormatReader::kBinary:
    case FormatReader::kVectorFile:
      plan.reader = UploadReader::kBinary;
      break;
    case FormatReader::kCsv:
      plan.reader = field_names ? UploadReader::kCsvWithHeader : UploadReader::kLines;
      break;
    case FormatReader::kLines:
      plan.reader = UploadReader::kLines;
      break;
  }
  plan.ids_path = take(options.string_ids_file_path).value_or("");
  plan.dry_run = take(options.dry_run);
  plan.resume = take(options.resume);
  plan.resend_unanswered = take(options.resend_unanswered);
  plan.skip_unanswered = take(options.skip_unanswered);
  if ((plan.resend_unanswered || plan.skip_unanswered) && !plan.resume) {
    throw std::invalid_argument("--resend-unanswered and --skip-unanswered go with --resume");
  }
  if (plan.resend_unanswered && plan.skip_unanswered) {
    throw std::invalid_argument("--resend-unanswered and --skip-unanswered exclude each other");
  }
  if (plan.resume && plan.dry_run) {
    throw std::invalid_argument("--resume and --dry-run exclude each other");
  }
  plan.invalid_arguments = options.left_over();
}

}  // namespace

UploadPlanResult plan_upload(const std::string& project, Options options) {
  UploadPlanResult result;
  UploadPlan plan;
  try {
    fill(plan, result.warnings, project, options);
    result.plan = std::move(plan);
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  return result;
}

}  // namespace rest_client
