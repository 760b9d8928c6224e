#include "language/vocabulary.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <sstream>

#include "language/file_formats.h"
#include "parser.tab.h"

using rest_client::file_format_help;
using rest_client::file_formats;
using rest_client::FileFormat;

namespace {

using Token = language::Parser::token;

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string lower(std::string_view view) {
  std::string text(view);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool starts_with_ignoring_case(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == lower(prefix);
}

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Equal when `word` is `name` in any case (`name` is plain ASCII).
bool same_ignoring_case(std::string_view word, const char* name) {
  std::size_t i = 0;
  for (; i < word.size() && name[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(word[i])) != name[i] &&
        std::toupper(static_cast<unsigned char>(word[i])) != name[i]) {
      return false;
    }
  }
  return i == word.size() && name[i] == '\0';
}

const OptionDef* find_option(std::string_view typed) {
  // -name or --name, in any case; every name starts with a letter (numbers never match).
  if (typed.starts_with("--")) {
    typed.remove_prefix(2);
  } else if (typed.starts_with("-")) {
    typed.remove_prefix(1);
  } else {
    return nullptr;
  }
  if (typed.empty() || !is_letter(typed.front())) return nullptr;
  for (const auto& option : option_table()) {
    if (same_ignoring_case(typed, option.name)) return &option;
  }
  return nullptr;
}

}  // namespace

const std::vector<StatementDef>& statement_table() {
  static const std::vector<StatementDef> table = {
      {"ATTACH_INDEX",
       Token::ATTACH_INDEX,
       {{"project_name"},
        {"dataset_name"},
        {"index_name"},
        {"dist_type"},
        {"large_index", {}, false, true}},
       {},
       {
           "Attaches an index to a dataset",
           "Format: ATTACH_INDEX <project_name> <dataset_name> <index_name> <dist_type> "
           "<large_index>",
           "Valid values for dist_type are \"L2\", \"Cosine\", \"InnerProduct\", and \"Hamming\"",
           "",
           "- \"--large_index\" (bool, optional): whether to use advanced approach to optimize the "
           "performance for very large index. For large indices, we provide techniques to balance "
           "the "
           "query efficiency, accuracy, and memory usage. It is highly recommended to set "
           "large_index "
           "to true if your data collection has more than ~2M vectors",
       }},
      {"CREATE_PROJECT",
       Token::CREATE_PROJECT,
       {{"project_name"}, {"application"}},
       {},
       {"Creates a project with the given application",
        "Format: CREATE_PROJECT <project_name> <application> ; application should be either "
        "\"search\", \"autoML\", or \"both\"."}},
      {"INIT_DATASET",
       Token::INIT_DATASET,
       {{"project_name"}, {"dataset_name"}, {"vector_type"}, {"vector_dim", {}, false, true}},
       {},
       {"Creates a dataset with the given vector type",
        "Format: INIT_DATASET <project_name> <dataset_name> <vector_type> [<vector_dim>]",
        "Note: vector_dim is required for non-sparse vector types"}},
      {"DELETE_DATASET",
       Token::DELETE_DATASET,
       {{"project_name"}, {"dataset_name"}},
       {},
       {"Deletes a dataset from the database",
        "Format: DELETE_DATASET <project_name> <dataset_name>"}},
      {"DELETE_INDEX",
       Token::DELETE_INDEX,
       {{"project_name"}, {"dataset_name"}, {"index_name"}},
       {},
       {"Deletes an index from a dataset",
        "Format: DELETE_INDEX <project_name> <dataset_name> <index_name>"}},
      {"DELETE_PROJECT",
       Token::DELETE_PROJECT,
       {{"project_name"}},
       {},
       {"Deletes a project", "Format: DELETE_PROJECT <project_name>"}},
      {"DELETE_VECTOR",
       Token::DELETE_VECTOR,
       {{"project_name"}, {"dataset_name"}, {"string_ids"}},
       {},
       {"Delete vectors (specified by the unique string_id list) from a dataset and all its "
        "attached indices",
        "Format: DELETE_VECTOR <project_name> <dataset_name> [string_id1, string_id2, ..., "
        "string_idn]"}},
      {"FETCH_DATASETS",
       Token::FETCH_DATASETS,
       {{"project_name"}},
       {},
       {"Gets the list of all datasets in the project", "Format: FETCH_DATASETS <project_name>"}},
      {"FETCH_PROJECTS", Token::FETCH_PROJECTS, {}, {}, {"Gets the list of all projects"}},
      {"INSERT_VECTOR",
       Token::INSERT_VECTOR,
       {{"project_name"}, {"dataset_name"}, {"string_id"}, {"vector"}},
       {"--vector_attributes"},
       {
           "Inserts a vector to a dataset and all indices attached to that dataset",
           "Format for dense: INSERT_VECTOR <project_name> <dataset_name> <string_id> [<v_1>, "
           "<v_2>, "
           "..., <v_n>] options",
           "Format for sparse: INSERT_VECTOR <project_name> <dataset_name> <string_id> "
           "[<idx_1>:<v_1>, "
           "<idx_2>:<v_2>, ..., <idx_n>:<v_n>] options",
           "- \"--vector_attributes\" (optional): Specify the attributes of the vector uploaded. "
           "Has "
           "the form \"[attr1:value1, attr2:value2, ...]\"",
       }},
      {"INSERT_VECTOR_BATCH",
       Token::INSERT_VECTOR_BATCH,
       {{"project_name"}, {"dataset_name"}, {"string_ids"}, {"vectors"}},
       {"--vector_attributes"},
       {
           "Inserts a vector to a dataset and all indices attached to that dataset",
           "Format for dense: INSERT_VECTOR_BATCH <project_name> <dataset_name> [string_id1, "
           "string_id2, ..., string_idn] [[<v_1>, <v_2>, ..., <v_m>], [<v_1>, <v_2>, ..., <v_m>], "
           "..., "
           "[<v_1>, <v_2>, ..., <v_m>]] options",
           "Format for sparse: INSERT_VECTOR_BATCH <project_name> <dataset_name> [string_id1, "
           "string_id2, ..., string_idn] [[<idx_1>:<v_1>, <idx_2>:<v_2>, ..., <idx_m>:<v_m>], "
           "[<idx_1>:<v_1>, <idx_2>:<v_2>, ..., <idx_m>:<v_m>], ..., [<idx_1>:<v_1>, "
           "<idx_2>:<v_2>, "
           "..., <idx_m>:<v_m>]] options",
           "- \"--vector_attributes\" (optional): Specify the attributes of the vector uploaded. "
           "Has "
           "the form \"[[attr1:value1, attr2:value2, ...], [attr1:value1, attr2:value2, ...], ..., "
           "[attr1:value1, attr2:value2, ...]]\"",
       }},
      {"LIST_INDEX",
       Token::LIST_INDEX_INFO,
       {{"project_name"}, {"dataset_name"}},
       {},
       {"Lists all the indices attached to a dataset",
        "Format: LIST_INDEX <project_name> <dataset_name>"}},
      {"SEARCH",
       Token::SEARCH,
       {{"project_name"},
        {"dataset_name"},
        {"index_name"},
        {"query_type", {"vector", "row", "file", "dataset"}}},
       {"--top_k", "--filter_attribute", "--filter_type", "--target_values", "--start_value",
        "--end_value", "--query_vector", "--row_number", "--file_path", "--file_type",
        "--query_dataset_name"},
       {
           "Searches an index with given query parameters",
           "Format: SEARCH <project_name> <dataset_name> <index_name> <query_type> options",
           "<query_type> must be one of \"vector\", \"file\", \"row\", \"dataset\"",
           "### Search using vector",
           "\"SEARCH project_name dataset_name index_name vector search_options\"",
           "Search options specifically for vector search:",
           "- \"--query_vector\": The vector to be used for the query, in the form \"[a_1, a_2, "
           "..., "
           "a_n]\"",
           "### Search using file",
           "\"SEARCH project_name dataset_name index_name file search_options\"",
           "Search options specifically for file search:",
           "- \"--file_path\": The file path that contains the vector(s) we want to use to search.",
           "- \"--file_type\": The file type of the file containing the vector(s) we want to use "
           "to "
           "search.",
           "### Search using row number",
           "\"SEARCH project_name dataset_name index_name row search_options\"",
           "Search options specifically for row number:",
           "- \"--row_number\": The row number of the vector already in the collection that we "
           "want to "
           "use to search. This must be a number.",
           "### Search using dataset",
           "\"SEARCH project_name dataset_name index_name \"dataset\" search_options\"",
           "Search options specifically for \"dataset\":",
           "- \"--query_dataset_name\": The dataset name that contains the vectors we want to use "
           "to "
           "query",
           "### Search Options",
           "- \"--top_k\" (optional): set the number of nearest neighbors to search. Default is 5.",
           "- \"--filter_attribute\" (optional): filter the attribute to search. Default is no "
           "filter.",
           "- \"--filter_type\" (optional): type of filter, either range or equality. Default is "
           "no "
           "filter.",
           "- \"--start_value\" (optional): if there is argument range for filter_type, denote the "
           "lexicographical start of the filter.",
           "- \"--end_value\" (optional): if there is argument range for filter_type, denote the "
           "lexicographical end of the filter.",
           "- \"--target_values\" (optional): if there is argument equality for filter_type, "
           "denote the "
           "exact match of the filter. In the form of \"[v_1, v_2, ...]\"",
       }},
      {"UPLOAD",
       Token::UPLOAD,
       {{"project_name"}, {"file_path", {}, true}},
       {"--dataset_name", "--file_format", "--vector_type", "--has_field_names", "--attributes",
        "--vector_data_field_name", "--vector_id_field_name", "--binary_dim", "--binary_dtype",
        "--string_ids_file_path", "--dry-run", "--resume", "--resend-unanswered",
        "--skip-unanswered"},
       {
           "Uploads a file to the database",
           "Format: UPLOAD <project_name> <file_path> options",
           "- \"--dataset_name\" (required): the dataset name that the file will be added to. ",
           file_format_help().at(0).c_str(),
           file_format_help().at(1).c_str(),
           "- \"--vector_type\" (required for json and csv file format): either \"sparse\", "
           "\"dense\", "
           "\"dense1Bit\", \"dense2Bit\", \"dense4Bit\", \"dense8Bit\".",
           "- \"--has_field_names\" (required for csv and json file format): either \"true\" or "
           "\"false\". Set to true if the file has column/field names (default is \"true\").",
           "- \"--attributes\" (optional, csv and json file format only): a list containing "
           "attribute "
           "names of the form \"[attr_1, attr_2, ..., attr_k]\".",
           "- \"--vector_data_field_name\" (mandatory for json with field names): The data field "
           "name.",
           "- \"--vector_id_field_name\" (optional, csv and json file format only): The field that "
           "should be used as UNIQUE id",
           "- \"--binary_dim\" (required for binary file format): The dimension of the vector if "
           "the "
           "file is in binary format",
           "- \"--binary_dtype\" (required for binary file format): The data type in the binary "
           "file "
           "(either \"uint8\" or \"float32\")",
           "- \"--string_ids_file_path\" (optional): An extra white-space or newline separated "
           ".txt "
           "format file that specifies the UNIQUE string IDs of the vectors. The number of string "
           "IDs "
           "should equal the number of vectors in the data file. This extra string ID file will "
           "overwrite the original string IDs, specified by --vector_id_field_name",
           "- \"--dry-run\" (optional): read the whole file as the upload would and send nothing: "
           "its records, dimension, ids and shards, and every problem found with its record "
           "number and byte offset (needs no login when it is the whole command line)",
           "- \"--resume\" (optional): go on with an upload of the same file to the same dataset "
           "that stopped, from the first shard not stored, with the same options. Every upload "
           "keeps a journal under $XDG_STATE_HOME/orvix/uploads (~/.local/state/orvix/uploads).",
           "- \"--resend-unanswered\" / \"--skip-unanswered\" (optional, with --resume): send "
           "again, or take as stored, a shard whose request went out and whose answer never came",
       }},
  };
  return table;
}

namespace {

std::vector<const char*> format_names() {
  std::vector<const char*> names;
  for (const FileFormat& format : file_formats()) names.push_back(format.name);
  return names;
}

}  // namespace

const std::vector<OptionDef>& option_table() {
  static const std::vector<OptionDef> table = {
      {"dim", Token::DIM},
      {"vector_attributes", Token::VECTOR_ATTRIBUTES},
      {"top_k", Token::TOP_K},
      {"filter_attribute", Token::FILTER_ATTRIBUTE},
      {"filter_type", Token::FILTER_TYPE, {"equality", "range"}},
      {"target_values", Token::TARGET_VALUE},
      {"start_value", Token::START_VALUE},
      {"end_value", Token::END_VALUE},
      {"query_vector", Token::QUERY_VECTOR},
      {"row_number", Token::ROW_NUMBER},
      {"file_path", Token::FILE_PATH, {}, true},
      {"file_type", Token::FILE_TYPE},
      {"dataset_name", Token::DATASET_NAME},
      {"binary_dim", Token::BINARY_DIM},
      {"binary_dtype", Token::BINARY_DTYPE, {"uint8", "float32"}},
      {"file_format", Token::FILE_FORMAT, format_names()},
      {"has_field_names", Token::HAS_FIELD_NAMES, {"true", "false"}},
      {"vector_type",
       Token::VECTOR_TYPE,
       {"sparse", "dense", "dense1Bit", "dense2Bit", "dense4Bit", "dense8Bit"}},
      {"vector_id_field_name", Token::VECTOR_ID_FIELD_NAME},
      {"vector_data_field_name", Token::VECTOR_DATA_FIELD_NAME},
      {"attributes", Token::ATTRIBUTES},
      {"query_dataset_name", Token::QUERY_DATASET_NAME},
      {"string_ids_file_path", Token::STRING_IDS_FILE_PATH, {}, true},
      {"dry-run", Token::DRY_RUN},
      {"resume", Token::RESUME},
      {"resend-unanswered", Token::RESEND_UNANSWERED},
      {"skip-unanswered", Token::SKIP_UNANSWERED},
      {"h", Token::HELP_FLAG},
  };
  return table;
}

int reserved_word_token(std::string_view word, const StatementDef** statement) {
  *statement = nullptr;
  // Most words are values; a reserved word starts with a letter or a dash.
  if (word.empty() || !(is_letter(word.front()) || word.front() == '-')) return 0;
  if (word.front() == '-') {
    const OptionDef* option = find_option(word);
    return option != nullptr ? option->token : 0;
  }
  if (same_ignoring_case(word, "HELP")) return Token::HELP;
  for (const auto& entry : statement_table()) {
    if (same_ignoring_case(word, entry.keyword)) {
      *statement = &entry;
      return entry.token;
    }
  }
  return 0;
}

const StatementDef& statement_def(std::string_view keyword) {
  const StatementDef* statement = nullptr;
  reserved_word_token(keyword, &statement);
  if (statement == nullptr) throw std::logic_error("not a statement keyword");
  return *statement;
}

void print_command_list() {
  std::cout << "The following is the list of valid commands:\n";
  for (const auto& entry : statement_table()) std::cout << "- " << entry.keyword << "\n";
  std::cout << "Use COMMAND_NAME -h to find out what each command does\n" << std::flush;
}

void print_help(const StatementDef& statement) {
  for (const char* line : statement.help) std::cout << line << "\n";
  std::cout << std::flush;
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
                                  [&](const StatementDef& e) { return keyword == e.keyword; });
  if (entry == statement_table().end()) return found;
  const std::size_t position = words.size() - 1;  // of the argument being typed
  const ArgumentDef* argument =
      position < entry->arguments.size() ? &entry->arguments[position] : nullptr;
  const std::string previous = lower(words.back());
  const std::string typed_option = previous.rfind("--", 0) == 0 ? previous : "-" + previous;
  const OptionDef* option = find_option(previous);
  const bool offered_here =
      std::count(entry->options.begin(), entry->options.end(), typed_option) != 0;
  if ((option != nullptr && option->file) || (argument != nullptr && argument->file)) {
    wants_file = true;
    return found;
  }
  if (option != nullptr && offered_here && !option->values.empty()) {
    for (const char* value : option->values) offer(value);
    return found;
  }
  if (argument != nullptr && !argument->values.empty()) {
    for (const char* value : argument->values) offer(value);
    return found;
  }
  if (!word.empty() && word[0] == '-') {
    for (const char* candidate : entry->options) offer(candidate);
    offer("-h");
  }
  return found;
}
