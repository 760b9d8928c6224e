#pragma once
// Command handlers of the service client. Each returns true only on real success.

#include <string>
#include <unordered_map>
#include <vector>

namespace rest_client {

using OptionMap = std::unordered_map<std::string, std::string>;

bool handle_create_project(const std::string& project, const std::string& application);
bool handle_fetch_projects();
bool handle_delete_project(const std::string& project);

bool handle_init_dataset(const std::string& project, const std::string& dataset,
                         const std::string& vector_type, const std::string& vector_dim);
bool handle_fetch_datasets(const std::string& project);
bool handle_delete_dataset(const std::string& project, const std::string& dataset);

bool handle_attach_index(const std::string& project, const std::string& dataset,
                         const std::string& index, const std::string& dist_type,
                         const bool& large_index);
bool handle_list_index_infos(const std::string& project, const std::string& dataset);
bool handle_delete_index(const std::string& project, const std::string& dataset,
                         const std::string& index);

bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, std::vector<std::string> values,
                          OptionMap options);
bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, const std::string& sparse_text,
                          OptionMap options);
bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> ids,
                                std::vector<std::vector<std::string>> vectors, OptionMap options);
bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> ids,
                                const std::vector<std::string>& sparse_texts, OptionMap options);
bool handle_delete_vector(const std::string& project, const std::string& dataset,
                          const std::vector<std::string>& ids);
bool handle_search(const std::string& project, const std::string& dataset, const std::string& index,
                   const std::string& query_type, OptionMap options);

bool handle_upload(const std::string& project, const std::string& file_path, OptionMap options);

}  // namespace rest_client
