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

bool starts_with_ignoring_case(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         lower_ascii(text.substr(0, prefix.size())) == lower_ascii(prefix);
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

std::string upper_ascii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string lower_ascii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

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
       OptionTrace::kDebug,
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
       OptionTrace::kNone,
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
       OptionTrace::kStandardOutput,
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
       OptionTrace::kNone,
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
  using K = OptionKind;
  using O = Options;
  static const std::vector<OptionDef> table = {
      // Reserved, and taken by no statement.
      {"dim", Token::OPTION},
      {"vector_attributes",
       Token::OPTION,
       {{"INSERT_VECTOR", K::kPairs}, {"INSERT_VECTOR_BATCH", K::kPairLists}},
       "vector_attributes",
       "attributes",
       &O::vector_attributes},
      // SEARCH. Its handler judges the words in the order it builds the request.
      {"top_k", Token::OPTION, {{"SEARCH", K::kText}}, "top_k", "top_k", &O::top_k},
      {"filter_attribute",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "filter_attribute",
       "filter.attribute",
       &O::filter_attribute},
      {"filter_type",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "filter_type",
       "filter.type",
       &O::filter_type,
       {"equality", "range"}},
      {"target_values",
       Token::OPTION,
       {{"SEARCH", K::kWords}},
       "target_value",
       "filter.target_values",
       &O::target_values},
      {"start_value",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "start_value",
       "filter.start_value",
       &O::start_value},
      {"end_value",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "end_value",
       "filter.end_value",
       &O::end_value},
      {"query_vector",
       Token::OPTION,
       {{"SEARCH", K::kWords}},
       "query_vector",
       "query_vector",
       &O::query_vector},
      {"row_number",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "row_number",
       "row_number",
       &O::row_number},
      {"file_path",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "file_path",
       "dataset_name",
       &O::file_path,
       {},
       true},
      {"file_type",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "file_type",
       "file_format",
       &O::file_type},
      {"query_dataset_name",
       Token::OPTION,
       {{"SEARCH", K::kText}},
       "dataset_name",
       "query_dataset_name",
       &O::query_dataset_name},
      // UPLOAD. The file format decides which of them apply.
      {"dataset_name",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "collection_name",
       "dataset_name",
       &O::dataset_name},
      {"file_format",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "file_format",
       "file_format",
       &O::file_format,
       format_names()},
      {"vector_type",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "vector_type",
       "vector_type",
       &O::vector_type,
       {"sparse", "dense", "dense1Bit", "dense2Bit", "dense4Bit", "dense8Bit"}},
      {"has_field_names",
       Token::OPTION,
       {{"UPLOAD", K::kYesNo}},
       "has_field_names",
       "has_field_names",
       &O::has_field_names,
       {"true", "false"}},
      {"attributes",
       Token::OPTION,
       {{"UPLOAD", K::kWords}},
       "attributes",
       "vector_attributes",
       &O::attributes},
      {"vector_data_field_name",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "vector_data_field_name",
       "vector_data_field_name",
       &O::vector_data_field_name},
      {"vector_id_field_name",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "vector_id_field_name",
       "vector_id_field_name",
       &O::vector_id_field_name},
      {"binary_dim",
       Token::OPTION,
       {{"UPLOAD", K::kInteger}},
       "binary_dim",
       "binary_dim",
       &O::binary_dim},
      {"binary_dtype",
       Token::OPTION,
       {{"UPLOAD", K::kOneOf}},
       "binary_dtype",
       "binary_dtype",
       &O::binary_dtype,
       {"uint8", "float32"}},
      {"string_ids_file_path",
       Token::OPTION,
       {{"UPLOAD", K::kText}},
       "string_ids_file_path",
       "",
       &O::string_ids_file_path,
       {},
       true},
      {"dry-run", Token::FLAG, {{"UPLOAD", K::kFlag}}, "dry_run", "", &O::dry_run},
      {"resume", Token::FLAG, {{"UPLOAD", K::kFlag}}, "resume", "", &O::resume},
      {"resend-unanswered",
       Token::FLAG,
       {{"UPLOAD", K::kFlag}},
       "resend_unanswered",
       "",
       &O::resend_unanswered},
      {"skip-unanswered",
       Token::FLAG,
       {{"UPLOAD", K::kFlag}},
       "skip_unanswered",
       "",
       &O::skip_unanswered},
      {"h", Token::HELP_FLAG},
  };
  return table;
}

const OptionUse* option_use(const OptionDef& option, const StatementDef& statement) {
  for (const OptionUse& use : option.uses) {
    if (std::string_view(use.statement) == statement.keyword) return &use;
  }
  return nullptr;
}

std::vector<const OptionDef*> statement_options(const StatementDef& statement) {
  std::vector<const OptionDef*> options;
  for (const OptionDef& option : option_table()) {
    if (option_use(option, statement) != nullptr) options.push_back(&option);
  }
  return options;
}

int reserved_word_token(std::string_view word, const StatementDef** statement,
                        const OptionDef** option) {
  *statement = nullptr;
  if (option != nullptr) *option = nullptr;
  // Most words are values; a reserved word starts with a letter or a dash.
  if (word.empty() || !(is_letter(word.front()) || word.front() == '-')) return 0;
  if (word.front() == '-') {
    const OptionDef* found = find_option(word);
    if (option != nullptr) *option = found;
    return found != nullptr ? found->token : 0;
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
  const std::string keyword = upper_ascii(words.front());
  const auto entry = std::find_if(statement_table().begin(), statement_table().end(),
                                  [&](const StatementDef& e) { return keyword == e.keyword; });
  if (entry == statement_table().end()) return found;
  const std::size_t position = words.size() - 1;  // of the argument being typed
  const ArgumentDef* argument =
      position < entry->arguments.size() ? &entry->arguments[position] : nullptr;
  const std::string previous = lower_ascii(words.back());
  const OptionDef* option = find_option(previous);
  const bool offered_here = option != nullptr && option_use(*option, *entry) != nullptr;
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
    for (const OptionDef* candidate : statement_options(*entry)) {
      offer(std::string("--") + candidate->name);
    }
    offer("-h");
  }
  return found;
}
