#pragma once
// One statement line, parsed into a value that says what to do. Running it is the
// dispatcher's work (commands/dispatcher.h); parsing prints only help, syntax errors, and the
// statements' own traces and diagnostics.

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

using OptionMap = std::unordered_map<std::string, std::string>;
using OptionEntry = std::pair<std::string, std::string>;
using KeyValueList = std::vector<std::pair<std::string, std::string>>;
using StringList = std::vector<std::string>;
using StringLists = std::vector<std::vector<std::string>>;

namespace stmt {

struct CreateProject {
  std::string project, application;
};
struct FetchProjects {};
struct DeleteProject {
  std::string project;
};
struct InitDataset {
  std::string project, dataset, vector_type, vector_dim;
};
struct FetchDatasets {
  std::string project;
};
struct DeleteDataset {
  std::string project, dataset;
};
struct AttachIndex {
  std::string project, dataset, index, dist_type;
  bool large_index = false;
};
struct ListIndex {
  std::string project, dataset;
};
struct DeleteIndex {
  std::string project, dataset, index;
};
struct DeleteVector {
  std::string project, dataset;
  StringList ids;
};
struct InsertDense {
  std::string project, dataset, string_id;
  StringList values;
  OptionMap options;
};
struct InsertSparse {
  std::string project, dataset, string_id, sparse_text;
  OptionMap options;
};
struct InsertDenseBatch {
  std::string project, dataset;
  StringList ids;
  StringLists vectors;
  OptionMap options;
};
struct InsertSparseBatch {
  std::string project, dataset;
  StringList ids;
  StringList sparse_texts;
  OptionMap options;
};
struct Search {
  std::string project, dataset, index, query_type;
  OptionMap options;
};
struct Upload {
  std::string project, file_path;
  OptionMap options;
};

}  // namespace stmt

using Statement =
    std::variant<stmt::CreateProject, stmt::FetchProjects, stmt::DeleteProject, stmt::InitDataset,
                 stmt::FetchDatasets, stmt::DeleteDataset, stmt::AttachIndex, stmt::ListIndex,
                 stmt::DeleteIndex, stmt::DeleteVector, stmt::InsertDense, stmt::InsertSparse,
                 stmt::InsertDenseBatch, stmt::InsertSparseBatch, stmt::Search, stmt::Upload>;

struct ParsedLine {
  bool ok = true;  // false when a syntax error or a statement's own check was reported
  std::optional<Statement> statement;  // none for an empty line and for help
};

// The line must not hold its line break. A scanner failure throws std::runtime_error.
ParsedLine parse_statement_line(const std::string& line);
