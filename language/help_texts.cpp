#include "language/help_texts.h"

#include <initializer_list>
#include <iostream>

namespace {

void print_lines(std::initializer_list<const char*> lines) {
  for (const char* line : lines) std::cout << line << "\n";
  std::cout << std::flush;
}

}  // namespace

void print_command_list() {
  print_lines({"The following is the list of valid commands:", "- ATTACH_INDEX", "- CREATE_PROJECT",
               "- INIT_DATASET", "- DELETE_DATASET", "- DELETE_INDEX", "- DELETE_PROJECT",
               "- DELETE_VECTOR", "- FETCH_DATASETS", "- FETCH_PROJECTS", "- INSERT_VECTOR",
               "- INSERT_VECTOR_BATCH", "- LIST_INDEX", "- SEARCH", "- UPLOAD",
               "Use COMMAND_NAME -h to find out what each command does"});
}

void print_attach_index_help() {
  print_lines({
      "Attaches an index to a dataset",
      "Format: ATTACH_INDEX <project_name> <dataset_name> <index_name> <dist_type> <large_index>",
      "Valid values for dist_type are \"L2\", \"Cosine\", \"InnerProduct\", and \"Hamming\"",
      "",
      "- \"--large_index\" (bool, optional): whether to use advanced approach to optimize the "
      "performance for very large index. For large indices, we provide techniques to balance the "
      "query efficiency, accuracy, and memory usage. It is highly recommended to set large_index "
      "to true if your data collection has more than ~2M vectors",
  });
}

void print_create_project_help() {
  print_lines({"Creates a project with the given application",
               "Format: CREATE_PROJECT <project_name> <application> ; application should be either "
               "\"search\", \"autoML\", or \"both\"."});
}

void print_init_dataset_help() {
  print_lines({"Creates a dataset with the given vector type",
               "Format: INIT_DATASET <project_name> <dataset_name> <vector_type> [<vector_dim>]",
               "Note: vector_dim is required for non-sparse vector types"});
}

void print_delete_dataset_help() {
  print_lines({"Deletes a dataset from the database",
               "Format: DELETE_DATASET <project_name> <dataset_name>"});
}

void print_delete_index_help() {
  print_lines({"Deletes an index from a dataset",
               "Format: DELETE_INDEX <project_name> <dataset_name> <index_name>"});
}

void print_delete_vector_help() {
  print_lines(
      {"Delete vectors (specified by the unique string_id list) from a dataset and all its "
       "attached indices",
       "Format: DELETE_VECTOR <project_name> <dataset_name> [string_id1, string_id2, ..., "
       "string_idn]"});
}

void print_delete_project_help() {
  print_lines({"Deletes a project", "Format: DELETE_PROJECT <project_name>"});
}

void print_fetch_datasets_help() {
  print_lines(
      {"Gets the list of all datasets in the project", "Format: FETCH_DATASETS <project_name>"});
}

void print_fetch_projects_help() {
  print_lines({"Gets the list of all projects"});
}

void print_insert_vector_help() {
  print_lines({
      "Inserts a vector to a dataset and all indices attached to that dataset",
      "Format for dense: INSERT_VECTOR <project_name> <dataset_name> <string_id> [<v_1>, <v_2>, "
      "..., <v_n>] options",
      "Format for sparse: INSERT_VECTOR <project_name> <dataset_name> <string_id> [<idx_1>:<v_1>, "
      "<idx_2>:<v_2>, ..., <idx_n>:<v_n>] options",
      "- \"--vector_attributes\" (optional): Specify the attributes of the vector uploaded. Has "
      "the form \"[attr1:value1, attr2:value2, ...]\"",
  });
}

void print_insert_vector_batch_help() {
  print_lines({
      "Inserts a vector to a dataset and all indices attached to that dataset",
      "Format for dense: INSERT_VECTOR_BATCH <project_name> <dataset_name> [string_id1, "
      "string_id2, ..., string_idn] [[<v_1>, <v_2>, ..., <v_m>], [<v_1>, <v_2>, ..., <v_m>], ..., "
      "[<v_1>, <v_2>, ..., <v_m>]] options",
      "Format for sparse: INSERT_VECTOR_BATCH <project_name> <dataset_name> [string_id1, "
      "string_id2, ..., string_idn] [[<idx_1>:<v_1>, <idx_2>:<v_2>, ..., <idx_m>:<v_m>], "
      "[<idx_1>:<v_1>, <idx_2>:<v_2>, ..., <idx_m>:<v_m>], ..., [<idx_1>:<v_1>, <idx_2>:<v_2>, "
      "..., <idx_m>:<v_m>]] options",
      "- \"--vector_attributes\" (optional): Specify the attributes of the vector uploaded. Has "
      "the form \"[[attr1:value1, attr2:value2, ...], [attr1:value1, attr2:value2, ...], ..., "
      "[attr1:value1, attr2:value2, ...]]\"",
  });
}

void print_list_index_info_help() {
  print_lines({"Lists all the indices attached to a dataset",
               "Format: LIST_INDEX <project_name> <dataset_name>"});
}

void print_search_help() {
  print_lines({
      "Searches an index with given query parameters",
      "Format: SEARCH <project_name> <dataset_name> <index_name> <query_type> options",
      "<query_type> must be one of \"vector\", \"file\", \"row\", \"dataset\"",
      "### Search using vector",
      "\"SEARCH project_name dataset_name index_name vector search_options\"",
      "Search options specifically for vector search:",
      "- \"--query_vector\": The vector to be used for the query, in the form \"[a_1, a_2, ..., "
      "a_n]\"",
      "### Search using file",
      "\"SEARCH project_name dataset_name index_name file search_options\"",
      "Search options specifically for file search:",
      "- \"--file_path\": The file path that contains the vector(s) we want to use to search.",
      "- \"--file_type\": The file type of the file containing the vector(s) we want to use to "
      "search.",
      "### Search using row number",
      "\"SEARCH project_name dataset_name index_name row search_options\"",
      "Search options specifically for row number:",
      "- \"--row_number\": The row number of the vector already in the collection that we want to "
      "use to search. This must be a number.",
      "### Search using dataset",
      "\"SEARCH project_name dataset_name index_name \"dataset\" search_options\"",
      "Search options specifically for \"dataset\":",
      "- \"--query_dataset_name\": The dataset name that contains the vectors we want to use to "
      "query",
      "### Search Options",
      "- \"--top_k\" (optional): set the number of nearest neighbors to search. Default is 5.",
      "- \"--filter_attribute\" (optional): filter the attribute to search. Default is no filter.",
      "- \"--filter_type\" (optional): type of filter, either range or equality. Default is no "
      "filter.",
      "- \"--start_value\" (optional): if there is argument range for filter_type, denote the "
      "lexicographical start of the filter.",
      "- \"--end_value\" (optional): if there is argument range for filter_type, denote the "
      "lexicographical end of the filter.",
      "- \"--target_values\" (optional): if there is argument equality for filter_type, denote the "
      "exact match of the filter. In the form of \"[v_1, v_2, ...]\"",
  });
}

void print_upload_help() {
  print_lines({
      "Uploads a file to the database",
      "Format: UPLOAD <project_name> <file_path> options",
      "- \"--dataset_name\" (required): the dataset name that the file will be added to. ",
      "- \"--file_format\" (required): file format, either \"csv\", \"json\", \"libsvm\", or "
      "\"binary\".",
      "- \"--vector_type\" (required for json and csv file format): either \"sparse\", \"dense\", "
      "\"dense1Bit\", \"dense2Bit\", \"dense4Bit\", \"dense8Bit\".",
      "- \"--has_field_names\" (required for csv and json file format): either \"true\" or "
      "\"false\". Set to true if the file has column/field names (default is \"true\").",
      "- \"--attributes\" (optional, csv and json file format only): a list containing attribute "
      "names of the form \"[attr_1, attr_2, ..., attr_k]\".",
      "- \"--vector_data_field_name\" (mandatory for json with field names): The data field name.",
      "- \"--vector_id_field_name\" (optional, csv and json file format only): The field that "
      "should be used as UNIQUE id",
      "- \"--binary_dim\" (required for binary file format): The dimension of the vector if the "
      "file is in binary format",
      "- \"--binary_dtype\" (required for binary file format): The data type in the binary file "
      "(either \"uint8\" or \"float32\")",
      "- \"--string_ids_file_path\" (optional): An extra white-space or newline separated .txt "
      "format file that specifies the UNIQUE string IDs of the vectors. The number of string IDs "
      "should equal the number of vectors in the data file. This extra string ID file will "
      "overwrite the original string IDs, specified by --vector_id_field_name",
  });
}
