#pragma once
// One statement of each kind the client has, with the service paths it posts to in order: the
// one list the secrets, fault and answer-fuzzing tests take their statements and their scripted
// paths from, so that a path written wrong in one of them cannot hide.

#include <set>
#include <string>
#include <vector>

namespace testing_support {

struct StatementRow {
  std::string statement;           // as typed, after the files it names are filled in
  std::vector<std::string> paths;  // under the API root, in the order they are posted to
};

// `csv` (with field names id,a), `libsvm` and `queries` (a headerless CSV) are data files of the
// caller's. The order is fixed: the answer fuzzer's stored inputs pick statements by position.
inline std::vector<StatementRow> statement_table(const std::string& csv, const std::string& libsvm,
                                                 const std::string& queries) {
  const std::vector<std::string> upload = {"/upload", "/get_upload_data_status"};
  return {
      {"FETCH_PROJECTS", {"/fetch_projects"}},
      {"CREATE_PROJECT p search", {"/create_project"}},
      {"DELETE_PROJECT p", {"/delete_project"}},
      {"FETCH_DATASETS p", {"/fetch_datasets"}},
      {"INIT_DATASET p d sparse", {"/init"}},
      {"DELETE_DATASET p d", {"/delete_dataset"}},
      {"ATTACH_INDEX p d i cosine false",
       {"/fetch_datasets", "/attach_index", "/get_attach_index_status"}},
      {"LIST_INDEX p d", {"/list_index_infos"}},
      {"DELETE_INDEX p d i", {"/delete_index"}},
      {"INSERT_VECTOR p d id [1, 2.5] --vector_attributes [a:1]", {"/add_data"}},
      {"INSERT_VECTOR p d id [3:0.5, 1:0.2]", {"/add_data"}},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1, 2], [3, 4]]",
       {"/add_data_batch", "/get_upload_data_status"}},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1:2], [3:4]]", {"/add_data_batch"}},
      {"DELETE_VECTOR p d [a, b]", {"/remove_data"}},
      {"SEARCH p d i vector --query_vector [1, 2] --top_k 3", {"/search"}},
      {"SEARCH p d i row --row_number 3", {"/search"}},
      {"SEARCH p d i dataset --query_dataset_name q", {"/search"}},
      {"SEARCH p d i file --file_path " + queries + " --file_type csv", {"/search"}},
      {"UPLOAD p " + csv +
           " --file_format csv --dataset_name d --vector_type dense --has_field_names true",
       upload},
      {"UPLOAD p " + libsvm + " --file_format libsvm --dataset_name d", upload},
  };
}

// Every path some statement posts to.
inline std::set<std::string> service_paths() {
  std::set<std::string> paths;
  for (const auto& row : statement_table("f.csv", "f.libsvm", "q.csv")) {
    paths.insert(row.paths.begin(), row.paths.end());
  }
  return paths;
}

}  // namespace testing_support
