// Vector statements: DELETE_VECTOR, INSERT_VECTOR, INSERT_VECTOR_BATCH and SEARCH hand their
// arguments to the handlers unchecked; every check of values and counts is the handler's.
#include <utility>

#include "commands/handlers.h"
#include "language/statement_actions.h"

void delete_vector_action(ParseContext& ctx, std::string project, std::string dataset,
                          StringList ids) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset), ids = std::move(ids)] {
    return rest_client::handle_delete_vector(project, dataset, ids);
  };
}

void insert_dense_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string string_id, StringList values, OptionMap options) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset),
                 string_id = std::move(string_id), values = std::move(values),
                 options = std::move(options)]() mutable {
    return rest_client::handle_insert_vector(project, dataset, string_id, std::move(values),
                                             std::move(options));
  };
}

void insert_sparse_action(ParseContext& ctx, std::string project, std::string dataset,
                          std::string string_id, std::string sparse_text, OptionMap options) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset),
                 string_id = std::move(string_id), sparse_text = std::move(sparse_text),
                 options = std::move(options)]() mutable {
    return rest_client::handle_insert_vector(project, dataset, string_id, sparse_text,
                                             std::move(options));
  };
}

void insert_dense_batch_action(ParseContext& ctx, std::string project, std::string dataset,
                               StringList ids, StringLists vectors, OptionMap options) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset), ids = std::move(ids),
                 vectors = std::move(vectors), options = std::move(options)]() mutable {
    return rest_client::handle_insert_vector_batch(project, dataset, std::move(ids),
                                                   std::move(vectors), std::move(options));
  };
}

void insert_sparse_batch_action(ParseContext& ctx, std::string project, std::string dataset,
                                StringList ids, StringList sparse_texts, OptionMap options) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset), ids = std::move(ids),
                 sparse_texts = std::move(sparse_texts), options = std::move(options)]() mutable {
    return rest_client::handle_insert_vector_batch(project, dataset, std::move(ids), sparse_texts,
                                                   std::move(options));
  };
}

void search_action(ParseContext& ctx, std::string project, std::string dataset, std::string index,
                   std::string query_type, OptionMap options) {
  ctx.pending = [project = std::move(project), dataset = std::move(dataset),
                 index = std::move(index), query_type = std::move(query_type),
                 options = std::move(options)]() mutable {
    return rest_client::handle_search(project, dataset, index, query_type, std::move(options));
  };
}
