#include "upload/upload_plan.h"

#include <stdexcept>

#include "client/request.h"
#include "language/file_formats.h"

namespace rest_client {
namespace {

using json = nlohmann::json;

int integer_dim(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::exception&) {
    throw std::invalid_argument("argument -binary_dim should be an integer");
  }
}

// The value types a binary vector may have; any other would be read as something it is not.
std::string checked_dtype(const std::string& dtype) {
  if (dtype != "float32" && dtype != "uint8") {
    throw std::invalid_argument("Argument binary_dtype must be \"float32\" or \"uint8\", not \"" +
                                service_text(dtype) + "\"");
  }
  return dtype;
}

// Fills the plan; throws std::invalid_argument (or the JSON library's errors) with the text
// the user sees.
void fill(UploadPlan& plan, std::vector<std::string>& warnings, const std::string& project,
          OptionMap& options) {
  json& body = plan.body;
  body["compression_type"] = "gzip";
  body["project_name"] = project;

  const auto format_name = take_option(options, "file_format");
  if (!format_name) throw std::invalid_argument("File format argument required!");
  const FileFormat* format = find_file_format(*format_name);
  if (format == nullptr) {
    // The service's own words, kept as they are; UPLOAD -h names the embedding formats too.
    throw std::invalid_argument("File format must be one of " + service_format_list());
  }
  body["file_format"] = format->sent_as;
  const bool field_names = take_option(options, "has_field_names").value_or("true") != "false";
  body["has_field_names"] = field_names;

  auto dataset = take_option(options, "collection_name");
  if (!dataset) {
    throw std::invalid_argument(
        "Argument dataset_name is required for UPLOAD. This is the data collection the vectors "
        "will be added to.");
  }
  body["dataset_name"] = *dataset;
  plan.dataset = *dataset;

  // The id and attribute fields: header names, or column numbers.
  auto take_field_options = [&] {
    if (auto id_field = take_option(options, "vector_id_field_name")) {
      body["vector_id_field_name"] = *id_field;
    }
    if (auto attributes = take_option(options, "attributes")) {
      body["vector_attributes"] = json::parse(*attributes).get<std::vector<std::string>>();
    }
  };
  const auto vector_type = take_option(options, "vector_type");
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
    if (const auto dim = take_option(options, "binary_dim")) plan.expected_dim = integer_dim(*dim);
    if (const auto dtype = take_option(options, "binary_dtype")) {
      plan.expected_dtype = checked_dtype(*dtype);
    }
  } else if (format->reader == FormatReader::kBinary) {
    const auto dim = take_option(options, "binary_dim");
    if (!dim) throw std::invalid_argument("Missing binary_dim argument");
    const int dimension = integer_dim(*dim);
    body["binary_dim"] = dimension;
    const auto dtype = take_option(options, "binary_dtype");
    if (!dtype) throw std::invalid_argument("Missing binary_dtype argument");
    body["binary_dtype"] = checked_dtype(*dtype);
    plan.floats = *dtype == "float32";
    plan.record_size = static_cast<long long>(dimension) * (plan.floats ? 4 : 1);
  } else if (field_names && format->field_names) {
    if (format->reader == FormatReader::kJson) {
      const auto data_field = take_option(options, "vector_data_field_name");
      if (!data_field) throw std::invalid_argument("Missing vector_data_field_name argument");
      body["vector_data_field_name"] = *data_field;
    }
    take_field_options();
  } else if (csv && options.count("dry_run") != 0) {
    // A dry run asks nothing: the column numbers an upload would ask for come from the options.
    plan.ask_columns = true;
    take_field_options();
  } else {
    if (take_option(options, "vector_id_field_name")) {
      warnings.push_back("Argument vector_id_field_name discarded");
    }
    if (take_option(options, "attributes")) warnings.push_back("Argument attributes discarded");
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
  plan.ids_path = take_option(options, "string_ids_file_path").value_or("");
  plan.dry_run = take_option(options, "dry_run").has_value();
  plan.resume = take_option(options, "resume").has_value();
  plan.resend_unanswered = take_option(options, "resend_unanswered").has_value();
  plan.skip_unanswered = take_option(options, "skip_unanswered").has_value();
  if ((plan.resend_unanswered || plan.skip_unanswered) && !plan.resume) {
    throw std::invalid_argument("--resend-unanswered and --skip-unanswered go with --resume");
  }
  if (plan.resend_unanswered && plan.skip_unanswered) {
    throw std::invalid_argument("--resend-unanswered and --skip-unanswered exclude each other");
  }
  if (plan.resume && plan.dry_run) {
    throw std::invalid_argument("--resume and --dry-run exclude each other");
  }
  for (const auto& [key, value] : options) plan.invalid_arguments.push_back(key);
}

}  // namespace

UploadPlanResult plan_upload(const std::string& project, OptionMap options) {
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
