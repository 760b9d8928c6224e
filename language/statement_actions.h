#pragma once
// Actions of the statements: check what the command language owns and queue the statement's
// work in the parse context. Functions returning bool print their error and return false when
// the statement must be aborted.

#include <string>

#include "language/parse_context.h"

bool attach_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index, std::string dist_type, const std::string* large_index);
bool init_dataset_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string vector_type, const std::string* vector_dim);
void create_project_action(ParseContext& ctx, std::string project, std::string application);
void delete_dataset_action(ParseContext& ctx, std::string project, std::string dataset);
void delete_project_action(ParseContext& ctx, std::string project);
void delete_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index);
void fetch_datasets_action(ParseContext& ctx, std::string project);
void fetch_projects_action(ParseContext& ctx);
void list_index_action(ParseContext& ctx, std::string project, std::string dataset);

void delete_vector_action(ParseContext& ctx, std::string project, std::string dataset,
                          StringList ids);
void insert_dense_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string string_id, StringList values, OptionMap options);
void insert_sparse_action(ParseContext& ctx, std::string project, std::string dataset,
                          std::string string_id, std::string sparse_text, OptionMap options);
void insert_dense_batch_action(ParseContext& ctx, std::string project, std::string dataset,
                               StringList ids, StringLists vectors, OptionMap options);
void insert_sparse_batch_action(ParseContext& ctx, std::string project, std::string dataset,
                                StringList ids, StringList sparse_texts, OptionMap options);
void search_action(ParseContext& ctx, std::string project, std::string dataset, std::string index,
                   std::string query_type, OptionMap options);

bool upload_action(ParseContext& ctx, std::string project, std::string file_path,
                   OptionMap options);
