// UPLOAD: checks the options against the file format, asks for columns of a headerless CSV
// file, then sends the file shard by shard and waits for every upload job.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "client/line_input.h"
#include "client/payload.h"
#include "client/request.h"
#include "commands/handlers.h"
#include "upload/file_readers.h"
#include "upload/progress_line.h"
#include "upload/shard_pipeline.h"
#include "upload/shard_transfer.h"

namespace rest_client {
namespace {

// Fields of the first line, split at commas; an empty field after a trailing comma does not count.
std::size_t column_count(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::invalid_argument("Could not open file " + path);
  std::string line;
  std::getline(file, line);
  std::istringstream fields(line);
  std::size_t count = 0;
  for (std::string field; std::getline(fields, field, ',');) ++count;
  return count;
}

std::string answer_line() {
  auto line = read_answer_line();
  if (!line) throw std::invalid_argument("standard input ended before the question was answered");
  return *line;
}

bool yes_or_no(const std::string& question) {
  std::cout << question << std::endl;
  for (;;) {
    const std::string answer = answer_line();
    if (answer == "y") return true;
    if (answer == "n") return false;
    std::cout << "Please answer (y/n)" << std::endl;
  }
}

// The unsigned decimal number at the start of a reply.
std::string leading_number(const std::string& reply) {
  std::size_t i = reply.find_first_not_of(" \t");
  const std::size_t begin = i;
  while (i < reply.size() && reply[i] >= '0' && reply[i] <= '9') ++i;
  if (begin == std::string::npos || i == begin) {
    throw std::invalid_argument("a column number was expected, got \"" + reply + "\"");
  }
  return std::to_string(std::stoull(reply.substr(begin, i - begin)));
}

void ask_columns(json& body, std::size_t columns) {
  const std::string count = std::to_string(columns);
  if (yes_or_no("Do you want to insert a vector_id_field_name? (y/n)")) {
    std::cout << "Please input a number between 1 and " << count
              << ", denoting the column number (1-based) of the column you want as your "
                 "vector_id_field_name"
              << std::endl;
    body["vector_id_field_name"] = leading_number(answer_line());
  }
  if (yes_or_no("Do you want to insert attributes? (y/n)")) {
    std::cout << "Please input number(s) between 1 and " << count
              << " in a line separated by a space, denoting the column number (1-based) of the "
                 "column(s) you want as your vector_attribute(s)"
              << std::endl;
    std::istringstream numbers(answer_line());
    json attributes = json::array();
    for (std::string token; numbers >> token;) {
      std::size_t digits = 0;
      while (digits < token.size() && token[digits] >= '0' && token[digits] <= '9') ++digits;
      if (digits == 0) break;
      attributes.push_back(std::to_string(std::stoull(token.substr(0, digits))));
      if (digits < token.size()) break;
    }
    body["vector_attributes"] = std::move(attributes);
  }
}

std::uint64_t file_size(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return file ? static_cast<std::uint64_t>(file.tellg()) : 0;
}

void show(const std::vector<ReaderMessage>& messages) {
  for (const auto& message : messages) {
    if (message.warning) {
      print_warning(message.text);
    } else {
      std::cerr << message.text << std::endl;
    }
  }
}

void discard(OptionMap& options, const char* key, const char* warning) {
  if (take_option(options, key)) print_warning(warning);
}

}  // namespace

bool handle_upload(Session& session, const std::string& project, const std::string& file_path,
                   OptionMap options) {
  return guarded("upload", [&] {
    print_info("Uploading with file_path: " + file_path + "...");
    require_regular_file(file_path);
    const std::size_t columns = column_count(file_path);
    json body = request_body(session);
    body["compression_type"] = "gzip";
    body["project_name"] = project;

    const auto format = take_option(options, "file_format");
    if (!format) throw std::invalid_argument("File format argument required!");
    body["file_format"] = *format;
    if (*format != "csv" && *format != "json" && *format != "libsvm" && *format != "binary") {
      throw std::invalid_argument(
          "File format must be one of \"csv\", \"json\", \"libsvm\", \"binary\"");
    }
    const bool field_names = take_option(options, "has_field_names").value_or("true") != "false";
    body["has_field_names"] = field_names;

    auto dataset = take_option(options, "collection_name");
    if (!dataset) {
      throw std::invalid_argument(
          "Argument dataset_name is required for UPLOAD. This is the data collection the vectors "
          "will be added to.");
    }
    body["dataset_name"] = *dataset;

    const auto vector_type = take_option(options, "vector_type");
    if (*format == "libsvm") {
      body["vector_type"] = "sparse";
      if (vector_type) {
        print_warning("Vector type parameter ignored, only sparse vector supported for libsvm");
      }
    } else if (*format == "binary") {
      body["vector_type"] = "dense";
      if (vector_type) {
        print_warning("Vector type parameter ignored, only dense vector supported for binary");
      }
    } else if (vector_type) {
      body["vector_type"] = *vector_type;
    } else {
      throw std::invalid_argument("Argument vector_type required for " + *format + " file format");
    }

    long long record_size = 0;
    bool floats = false;
    if (*format == "binary") {
      const auto dim = take_option(options, "binary_dim");
      if (!dim) throw std::invalid_argument("Missing binary_dim argument");
      int dimension = 0;
      try {
        dimension = std::stoi(*dim);
      } catch (const std::exception&) {
        throw std::invalid_argument("argument -binary_dim should be an integer");
      }
      body["binary_dim"] = dimension;
      const auto dtype = take_option(options, "binary_dtype");
      if (!dtype) throw std::invalid_argument("Missing binary_dtype argument");
      body["binary_dtype"] = *dtype;
      floats = *dtype == "float32";
      record_size = static_cast<long long>(dimension) * (floats ? 4 : 1);
    } else if (field_names && (*format == "json" || *format == "csv")) {
      if (*format == "json") {
        const auto data_field = take_option(options, "vector_data_field_name");
        if (!data_field) throw std::invalid_argument("Missing vector_data_field_name argument");
        body["vector_data_field_name"] = *data_field;
      }
      if (auto id_field = take_option(options, "vector_id_field_name")) {
        body["vector_id_field_name"] = *id_field;
      }
      if (auto attributes = take_option(options, "attributes")) {
        body["vector_attributes"] = json::parse(*attributes).get<std::vector<std::string>>();
      }
    } else {
      discard(options, "vector_id_field_name", "Argument vector_id_field_name discarded");
      discard(options, "attributes", "Argument attributes discarded");
      if (*format == "csv") ask_columns(body, columns);
    }

    const std::string ids_path = take_option(options, "string_ids_file_path").value_or("");
    if (!ids_path.empty()) require_regular_file(ids_path);
    if (!options.empty()) {
      for (const auto& [key, value] : options) print_error("Invalid argument " + key);
      return false;
    }

    const ReaderInput input{file_path, ids_path};
    auto reader = [&, format = *format](ShardOutput& output) {
      if (format == "json") {
        read_json_file(output, input);
      } else if (format == "binary") {
        read_binary_file(output, input, record_size, floats);
      } else if (format == "csv" && field_names) {
        read_csv_with_header(output, input);
      } else {
        read_line_file(output, input);
      }
    };
    ShardTransfer transfer(session, file_path, *dataset);
    {
      ProgressLine progress(file_size(file_path));
      ShardPipeline pipeline(body, static_cast<std::size_t>(session.upload.shard_size), reader);
      const auto redraw = [&] { progress.draw(pipeline.bytes_read(), transfer.shard_count()); };
      while (auto shard = pipeline.next(redraw)) {
        progress.clear();
        show(shard->messages);
        transfer.send_shard(*shard);
        pipeline.recycle(std::move(*shard));
      }
      progress.clear();
      show(pipeline.take_trailing_messages());
      pipeline.rethrow_failure();
    }
    if (!transfer.final_wait()) return false;
    print_success("Successfully uploaded file to dataset");
    return true;
  });
}

}  // namespace rest_client
