#pragma once
// One statement line, parsed into a value that says what to do, and how each kind of statement
// is run. Parsing prints only help, syntax errors, and the statements' own traces and
// diagnostics.

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

namespace rest_client {
struct Session;
}

namespace stmt {

// Runs a statement: one overload for each kind, defined beside the kind's handler (commands/,
// upload/) and called by the dispatcher above both; true only when the statement did what it
// says. A new statement is its entry of the vocabulary, its rule of the grammar, its value and
// overload here, and its handler's file.
bool execute(rest_client::Session& session, CreateProject& statement);
bool execute(rest_client::Session& session, FetchProjects& statement);
bool execute(rest_client::Session& session, DeleteProject& statement);
bool execute(rest_client::Session& session, InitDataset& statement);
bool execute(rest_client::Session& session, FetchDatasets& statement);
bool execute(rest_client::Session& session, DeleteDataset& statement);
bool execute(rest_client::Session& session, AttachIndex& statement);
bool execute(rest_client::Session& session, ListIndex& statement);
bool execute(rest_client::Session& session, DeleteIndex& statement);
bool execute(rest_client::Session& session, DeleteVector& statement);
bool execute(rest_client::Session& session, InsertDense& statement);
bool execute(rest_client::Session& session, InsertSparse& statement);
bool execute(rest_client::Session& session, InsertDenseBatch& statement);
bool execute(rest_client::Session& session, InsertSparseBatch& statement);
bool execute(rest_client::Session& session, Search& statement);
bool execute(rest_client::Session& session, Upload& statement);

}  // namespace stmt

using Statement =
    std::variant<stmt::CreateProject, stmt::FetchProjects, stmt::DeleteProject, stmt::InitDataset,
                 stmt::FetchDatasets, stmt::DeleteDataset, stmt::AttachIndex, stmt::ListIndex,
                 stmt::DeleteIndex, stmt::DeleteVector, stmt::InsertDense, stmt::InsertSparse,
                 stmt::InsertDenseBatch, stmt::InsertSparseBatch, stmt::Search, stmt::Upload>;

struct ParsedLine {
  bool ok = true;  // false when a syntax error or a statement's own check was reported
  std::optional<Statement> statement;  // none for an empty line and for help
  bool listed_statements = false;      // HELP
  std::string helped;                  // STATEMENT -h: the statement's keyword
};

// The statement keyword a line begins with, in capitals ("HELP" for help), or nullopt.
std::optional<std::string> statement_keyword(const std::string& line);

// The line must not hold its line break; it is scanned where it lies. A scanner failure throws
// std::runtime_error.
ParsedLine parse_statement_line(std::string line);
