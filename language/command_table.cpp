#include "language/command_table.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "language/help_texts.h"

namespace {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool starts_with_ignoring_case(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == lower(prefix);
}

const std::map<std::string, std::vector<const char*>>& option_values() {
  static const std::map<std::string, std::vector<const char*>> values = {
      {"--file_format", {"csv", "json", "libsvm", "binary"}},
      {"--filter_type", {"equality", "range"}},
      {"--has_field_names", {"true", "false"}},
      {"--binary_dtype", {"uint8", "float32"}},
      {"--vector_type", {"sparse", "dense", "dense1Bit", "dense2Bit", "dense4Bit", "dense8Bit"}},
  };
  return values;
}

}  // namespace

const std::vector<StatementEntry>& statement_table() {
  static const std::vector<StatementEntry> table = {
      {"ATTACH_INDEX", {}, print_attach_index_help},
      {"CREATE_PROJECT", {}, print_create_project_help},
      {"INIT_DATASET", {}, print_init_dataset_help},
      {"DELETE_DATASET", {}, print_delete_dataset_help},
      {"DELETE_INDEX", {}, print_delete_index_help},
      {"DELETE_PROJECT", {}, print_delete_project_help},
      {"DELETE_VECTOR", {}, print_delete_vector_help},
      {"FETCH_DATASETS", {}, print_fetch_datasets_help},
      {"FETCH_PROJECTS", {}, print_fetch_projects_help},
      {"INSERT_VECTOR", {"--vector_attributes"}, print_insert_vector_help},
      {"INSERT_VECTOR_BATCH", {"--vector_attributes"}, print_insert_vector_batch_help},
      {"LIST_INDEX", {}, print_list_index_info_help},
      {"SEARCH",
       {"--top_k", "--filter_attribute", "--filter_type", "--target_values", "--start_value",
        "--end_value", "--query_vector", "--row_number", "--file_path", "--file_type",
        "--query_dataset_name"},
       print_search_help},
      {"UPLOAD",
       {"--dataset_name", "--file_format", "--vector_type", "--has_field_names", "--attributes",
        "--vector_data_field_name", "--vector_id_field_name", "--binary_dim", "--binary_dtype",
        "--string_ids_file_path"},
       print_upload_help},
  };
  return table;
}

std::vector<std::string> completion_candidates(const std::string& before, const std::string& word,
                                               bool& wants_file) {
  wants_file = false;
  std::vector<std::string> words;
  std::istringstream split(before);
  for (std::string w; split >> w;) words.push_back(w);
  std::vector<std::string> found;
  auto offer = [&](const std::string& candidate) {
    if (starts_with_ignoring_case(candidate, word)) found.push_back(candidate);
  };
  if (words.empty()) {
    for (const auto& entry : statement_table()) offer(entry.keyword);
    offer("HELP");
    return found;
  }
  const std::string keyword = upper(words.front());
  const auto entry = std::find_if(statement_table().begin(), statement_table().end(),
                                  [&](const StatementEntry& e) { return keyword == e.keyword; });
  if (entry == statement_table().end()) return found;
  const std::string previous = lower(words.back());
  const std::string option = previous.rfind("--", 0) == 0 ? previous : "-" + previous;
  if (option == "--file_path" || option == "--string_ids_file_path" ||
      (keyword == "UPLOAD" && words.size() == 2)) {
    wants_file = true;
    return found;
  }
  if (auto values = option_values().find(option);
      values != option_values().end() &&
      std::count(entry->options.begin(), entry->options.end(), option) != 0) {
    for (const char* value : values->second) offer(value);
    return found;
  }
  if (keyword == "SEARCH" && words.size() == 4) {
    for (const char* type : {"vector", "row", "file", "dataset"}) offer(type);
    return found;
  }
  if (!word.empty() && word[0] == '-') {
    for (const char* candidate : entry->options) offer(candidate);
    offer("-h");
  }
  return found;
}
