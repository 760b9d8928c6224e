#include "language/file_formats.h"

namespace rest_client {

// A new format is one line here and, when none of the readers fits, its reader under upload/
// (see the README's layout).
const std::vector<FileFormat>& file_formats() {
  static const std::vector<FileFormat> table = {
      {"csv", "csv", FormatReader::kCsv, FormatVectors::kAsked, true, ""},
      {"json", "json", FormatReader::kJson, FormatVectors::kAsked, true, ""},
      {"libsvm", "libsvm", FormatReader::kLines, FormatVectors::kSparse, false, ""},
      {"binary", "binary", FormatReader::kBinary, FormatVectors::kDense, false, ""},
      {"npy", "binary", FormatReader::kVectorFile, FormatVectors::kDense, false,
       "(a NumPy 2-D array of float32, float64, float16 or uint8)"},
      {"fvecs", "binary", FormatReader::kVectorFile, FormatVectors::kDense, false, ""},
      {"bvecs", "binary", FormatReader::kVectorFile, FormatVectors::kDense, false, ""},
  };
  return table;
}

const FileFormat* find_file_format(std::string_view name) {
  for (const FileFormat& format : file_formats()) {
    if (name == format.name) return &format;
  }
  return nullptr;
}

namespace {

// "a", "b" and "c" (`last` joins the last two), each name followed by its description.
template <typename Chosen>
std::string listed(Chosen chosen, const char* last) {
  std::vector<std::string> names;
  for (const FileFormat& format : file_formats()) {
    if (!chosen(format)) continue;
    std::string name = "\"" + std::string(format.name) + "\"";
    if (*format.description != '\0') name += " " + std::string(format.description);
    names.push_back(std::move(name));
  }
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? last : ", ";
    text += names[i];
  }
  return text;
}

bool embedding(const FileFormat& format) {
  return format.reader == FormatReader::kVectorFile;
}

}  // namespace

const std::vector<std::string>& file_format_help() {
  static const std::vector<std::string> lines = {
      "- \"--file_format\" (required): file format, either " +
          listed([](const FileFormat& f) { return !embedding(f); }, ", or ") + ".",
      "  Embedding files are read too: " + listed(embedding, " and ") +
          "; they are sent as binary vectors, with their dimension and value type taken from "
          "the file.",
  };
  return lines;
}

// The formats the service knows by the name it is told.
std::string service_format_list() {
  return listed([](const FileFormat& f) { return std::string_view(f.name) == f.sent_as; }, ", ");
}

}  // namespace rest_client
