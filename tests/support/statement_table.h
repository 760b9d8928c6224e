#pragma once
// One statement of each kind the client has, with the service paths it posts to in order, a
// good answer for each, and the start of the line it prints when no answer arrives: the one list
// the handler, fault, secrets and process tests and the answer fuzzer take their statements,
// paths and answers from, so that a path written wrong in one of them cannot hide.

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct StatementRow {
  std::string statement;  // as typed, after the files it names are filled in
  // Under the API root, in the order they are posted to, each with a good answer.
  std::vector<std::pair<std::string, std::string>> answers;
  std::string no_answer;  // the start of the line printed when no answer arrives
};

// `csv` (with field names id,a), `libsvm` and `queries` (a headerless CSV) are data files of the
// caller's. The order is fixed: the answer fuzzer's stored inputs pick statements by position.
inline std::vector<StatementRow> statement_rows(const std::string& csv, const std::string& libsvm,
                                                const std::string& queries) {
  const std::string finished = R"({"success":true,"status":"finished","error_message":"ok"})";
  const std::vector<std::pair<std::string, std::string>> upload = {
      {"/upload", R"({"checksum_server":"s","job_id":"j"})"},
      {"/get_upload_data_status", finished}};
  const std::vector<std::pair<std::string, std::string>> search = {
      {"/search", R"({"results":[{"distance":-0.25,"idx":"a"}]})"}};
  const std::vector<std::pair<std::string, std::string>> multi_search = {
      {"/search", R"({"results":[{"query_vector_id":0,"matches":[{"distance":1,"idx":"a"}]}]})"}};
  const std::string inserted = R"({"error_code":"Success"})";
  return {
      {"FETCH_PROJECTS",
       {{"/fetch_projects",
         R"({"projects":[{"project_name":"a","project_id":7,"application":"both"}]})"}},
       "Projects fetch failed! Status: 0"},
      {"CREATE_PROJECT p search", {{"/create_project", "{}"}}, "Create project failed! Status: 0"},
      {"DELETE_PROJECT p",
       {{"/delete_project", R"({"success":true,"error_code":"x"})"}},
       "Delete project failed! Status: 0"},
      {"FETCH_DATASETS p",
       {{"/fetch_datasets", R"j({"datasets":[{"name":"d","dimension":"(3, 4)","size":1536}]})j"}},
       "Datasets fetch failed! Status: 0"},
      {"INIT_DATASET p d sparse", {{"/init", "{}"}}, "Initialize dataset failed! Status: 0"},
      {"DELETE_DATASET p d",
       {{"/delete_dataset", R"({"success":true})"}},
       "Delete dataset failed! Status: 0"},
      {"ATTACH_INDEX p d i cosine false",
       {{"/fetch_datasets", R"({"datasets":[]})"},
        {"/attach_index", R"({"success":true,"job_id":"j"})"},
        {"/get_attach_index_status", R"({"success":true,"status":"finished"})"}},
       "Attach Index failed! Status: 0"},
      {"LIST_INDEX p d",
       {{"/list_index_infos", R"({"index_infos":[["i","L2"]]})"}},
       "Listing index information failed! Status: 0"},
      {"DELETE_INDEX p d i",
       {{"/delete_index", R"({"success":true})"}},
       "Delete index failed! Status: 0"},
      {"INSERT_VECTOR p d id [1, 2.5] --vector_attributes [a:1]",
       {{"/add_data", inserted}},
       "Insert failed! Status: 0"},
      {"INSERT_VECTOR p d id [3:0.5, 1:0.2]",
       {{"/add_data", inserted}},
       "Insert failed! Status: 0"},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1, 2], [3, 4]]",
       {{"/add_data_batch", R"({"checksum_server":"abc","job_id":"j"})"},
        {"/get_upload_data_status", finished}},
       "Insertions failed! Status: 0"},
      {"INSERT_VECTOR_BATCH p d [a, b] [[1:2], [3:4]]",
       {{"/add_data_batch",
         R"([{"string_id":"a","status":200,"body":"{\"error_code\":\"Success\"}"},)"
         R"({"string_id":"b","status":200,"body":"{\"error_code\":\"Success\"}"}])"}},
       "Insertions failed! Status: 0"},
      {"DELETE_VECTOR p d [a, b]", {{"/remove_data", inserted}}, "Delete vector failed! Status: 0"},
      {"SEARCH p d i vector --query_vector [1, 2] --top_k 3", search, "Search failed! Status: 0"},
      {"SEARCH p d i row --row_number 3", search, "Search failed! Status: 0"},
      {"SEARCH p d i dataset --query_dataset_name q", multi_search, "Search failed! Status: 0"},
      {"SEARCH p d i file --file_path " + queries + " --file_type csv", multi_search,
       "Search failed! Status: 0"},
      {"UPLOAD p " + csv +
           " --file_format csv --dataset_name d --vector_type dense --has_field_names true",
       upload, "Upload failed! Status: 0"},
      {"UPLOAD p " + libsvm + " --file_format libsvm --dataset_name d", upload,
       "Upload failed! Status: 0"},
  };
}

// Every path some statement posts to.
inline std::set<std::string> service_paths() {
  std::set<std::string> paths;
  for (const auto& row : statement_rows("f.csv", "f.libsvm", "q.csv")) {
    for (const auto& [path, answer] : row.answers) paths.insert(path);
  }
  return paths;
}

}  // namespace testing_support
