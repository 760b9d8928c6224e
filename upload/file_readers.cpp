#include "upload/file_readers.h"

namespace rest_client {

ReaderInput reader_input(InputFile& file, const UploadPlan& plan, const json& body) {
  ReaderInput input;
  input.file = &file;
  input.ids_path = plan.ids_path;
  input.vector_file = plan.vector_layout;
  input.format = body.value("file_format", "");
  if (body.contains("vector_id_field_name") && body.at("vector_id_field_name").is_string()) {
    input.id_field = body.at("vector_id_field_name").get<std::string>();
  }
  if (body.contains("vector_attributes") && body.at("vector_attributes").is_array()) {
    for (const json& field : body.at("vector_attributes")) {
      if (field.is_string()) input.attribute_fields.push_back(field.get<std::string>());
    }
  }
  input.field_names = body.value("has_field_names", false);
  input.data_field = body.value("vector_data_field_name", "");
  input.sparse = body.value("vector_type", "") == "sparse";
  return input;
}

void read_upload_file(ShardOutput& output, const ReaderInput& input, UploadReader reader,
                      long long record_size, bool floats) {
  switch (reader) {
    case UploadReader::kJson:
      return read_json_file(output, input);
    case UploadReader::kBinary:
      return read_binary_file(output, input, record_size, floats);
    case UploadReader::kCsvWithHeader:
      return read_csv_with_header(output, input);
    case UploadReader::kLines:
      break;
  }
  read_line_file(output, input);
}

}  // namespace rest_client
