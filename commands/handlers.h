#pragma once
// Command handlers of the service client. Each returns true only on real success.

#include <string>
#include <vector>

#include "client/job_status.h"
#include "client/session.h"
#include "language/statement.h"

namespace rest_client {

// How the attach job and the dense batch's job tell their states.
extern const JobTexts kAttachJobTexts;
extern const JobTexts kBatchJobTexts;

bool handle_create_project(Session& session, const std::string& project,
                           const std::string& application);
bool handle_fetch_projects(Session& session);
bool handle_delete_project(Session& session, const std::string& project);

bool handle_init_dataset(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& vector_type, const std::string& vector_dim);
bool handle_fetch_datasets(Session& session, const std::string& project);
bool handle_delete_dataset(Session& session, const std::string& project,
                           const std::string& dataset);

bool handle_attach_index(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& index, const std::string& dist_type,
                         const bool& large_index);
bool handle_list_index_infos(Session& session, const std::string& project,
                             const std::string& dataset);
bool handle_delete_index(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& index);

bool handle_insert_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::string& string_id, std::vector<std::string> values,
                          Options options);
bool handle_insert_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::string& string_id, const std::string& sparse_text,
                          Options options);
bool handle_insert_vector_batch(Session& session, const std::string& project,
                                const std::string& dataset, std::vector<std::string> ids,
                                const WordRows& vectors, Options options);
bool handle_insert_vector_batch(Session& session, const std::string& project,
                                const std::string& dataset, std::vector<std::string> ids,
                                const std::vector<std::string>& sparse_texts, Options options);
bool handle_delete_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::vector<std::string>& ids);
bool handle_search(Session& session, const std::string& project, const std::string& dataset,
                   const std::string& index, const std::string& query_type, Options options);

}  // namespace rest_client
