#pragma once
// A parsed statement as one line of text, for tables of expected parses.

#include <map>
#include <string>

#include "language/statement.h"
#include "language/vocabulary.h"

namespace testing_support {

inline std::string joined(const std::vector<std::string>& parts) {
  std::string text = "[";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "|" : "") + parts[i];
  return text + "]";
}

inline std::string options_text(const Options& options) {
  std::map<std::string, std::string> sorted;
  for (const auto& [option, value] : options.given) sorted.emplace(option->key, value);
  std::string text = "{";
  for (const auto& [key, value] : sorted) text += key + "=" + value + ";";
  return text + "}";
}

template <class... Ts>
struct Describe : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Describe(Ts...) -> Describe<Ts...>;

inline std::string statement_text(const Statement& statement) {
  return std::visit(
      Describe{
          [](const stmt::CreateProject& s) {
            return "create_project " + s.project + " " + s.application;
          },
          [](const stmt::FetchProjects&) { return std::string("fetch_projects"); },
          [](const stmt::DeleteProject& s) { return "delete_project " + s.project; },
          [](const stmt::InitDataset& s) {
            return "init_dataset " + s.project + " " + s.dataset + " " + s.vector_type + " " +
                   s.vector_dim;
          },
          [](const stmt::FetchDatasets& s) { return "fetch_datasets " + s.project; },
          [](const stmt::DeleteDataset& s) {
            return "delete_dataset " + s.project + " " + s.dataset;
          },
          [](const stmt::AttachIndex& s) {
            return "attach_index " + s.project + " " + s.dataset + " " + s.index + " " +
                   s.dist_type + " " + (s.large_index ? "true" : "false");
          },
          [](const stmt::ListIndex& s) {
            return "list_index_infos " + s.project + " " + s.dataset;
          },
          [](const stmt::DeleteIndex& s) {
            return "delete_index " + s.project + " " + s.dataset + " " + s.index;
          },
          [](const stmt::DeleteVector& s) {
            return "delete_vector " + s.project + " " + s.dataset + " " + joined(s.ids);
          },
          [](const stmt::InsertDense& s) {
            return "insert_dense " + s.project + " " + s.dataset + " " + s.string_id + " " +
                   joined(s.values) + " " + options_text(s.options);
          },
          [](const stmt::InsertSparse& s) {
            return "insert_sparse " + s.project + " " + s.dataset + " " + s.string_id + " " +
                   s.sparse_text + " " + options_text(s.options);
          },
          [](const stmt::InsertDenseBatch& s) {
            std::string text;
            for (std::size_t row = 0; row < s.vectors.rows(); ++row) {
              text += joined(s.vectors.row(row));
            }
            return "batch_dense " + s.project + " " + s.dataset + " " + joined(s.ids) + " [" +
                   text + "] " + options_text(s.options);
          },
          [](const stmt::InsertSparseBatch& s) {
            return "batch_sparse " + s.project + " " + s.dataset + " " + joined(s.ids) + " " +
                   joined(s.sparse_texts) + " " + options_text(s.options);
          },
          [](const stmt::Search& s) {
            return "search " + s.project + " " + s.dataset + " " + s.index + " " + s.query_type +
                   " " + options_text(s.options);
          },
          [](const stmt::Upload& s) {
            return "upload " + s.project + " " + s.file_path + " " + options_text(s.options);
          },
      },
      statement);
}

}  // namespace testing_support
