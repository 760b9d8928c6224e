#pragma once
// One statement line, parsed into a value that says what to do, and how each kind of statement
// is run. Parsing prints only help, syntax errors, and the statements' own traces and
// diagnostics.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "client/large_buffers.h"

using KeyValueList = std::vector<std::pair<std::string, std::string>>;
using StringList = std::vector<std::string>;

// Rows of words in one text, for the bulk of a batch insert: ten thousand rows of numbers cost
// a few allocations instead of one string for every number.
class WordRows {
 public:
  WordRows() = default;
  explicit WordRows(const StringList& row) { add_row(row); }

  void reserve(std::size_t text_bytes, std::size_t words) {
    rest_client::reserve_large(text_, text_bytes);
    rest_client::reserve_large(word_ends_, words);
  }
  void add_word(std::string_view word) {
    text_.append(word);
    word_ends_.push_back(text_.size());
  }
  void end_row() { row_ends_.push_back(word_ends_.size()); }
  void add_row(const StringList& row) {
    for (const auto& word : row) add_word(word);
    end_row();
  }
  void add_rows(const WordRows& other) {
    const std::size_t text_at = text_.size(), words_at = word_ends_.size();
    text_ += other.text_;
    for (const std::size_t end : other.word_ends_) word_ends_.push_back(text_at + end);
    for (const std::size_t end : other.row_ends_) row_ends_.push_back(words_at + end);
  }

  std::size_t rows() const { return row_ends_.size(); }
  std::size_t words() const { return word_ends_.size(); }
  // Words [first_word(row), first_word(row + 1)) make up the row.
  std::size_t first_word(std::size_t row) const { return row == 0 ? 0 : row_ends_[row - 1]; }
  std::string_view word(std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : word_ends_[index - 1];
    return std::string_view(text_).substr(begin, word_ends_[index] - begin);
  }
  StringList row(std::size_t index) const {
    StringList out;
    for (std::size_t w = first_word(index); w < first_word(index + 1); ++w)
      out.emplace_back(word(w));
    return out;
  }

 private:
  std::string text_;
  std::vector<std::size_t> word_ends_, row_ends_;
};

struct OptionDef;

// The options of a statement, each in the type the option table gives it and checked there.
// Handlers take what they use (`take`); what nobody took is left over, in the order it was typed.
struct Options {
  // INSERT_VECTOR, INSERT_VECTOR_BATCH: a JSON object, or an array of them
  std::optional<std::string> vector_attributes;
  // SEARCH
  std::optional<std::string> top_k, filter_attribute, filter_type, start_value, end_value,
      row_number, file_path, file_type, query_dataset_name;
  std::optional<StringList> target_values, query_vector;
  // UPLOAD
  std::optional<std::string> dataset_name, file_format, vector_type, vector_id_field_name,
      vector_data_field_name, binary_dtype, string_ids_file_path;
  std::optional<int> binary_dim;
  std::optional<bool> has_field_names;
  std::optional<StringList> attributes;
  bool dry_run = false, resume = false, resend_unanswered = false, skip_unanswered = false;

  // Every option given, in order, with its value as traces show it.
  std::vector<std::pair<const OptionDef*, std::string>> given;

  // The names (as diagnostics call them) of the options given and not taken.
  std::vector<std::string> left_over() const;
};

template <class T>
std::optional<T> take(std::optional<T>& field) {
  return std::exchange(field, std::nullopt);
}
inline bool take(bool& flag) {
  return std::exchange(flag, false);
}

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
  Options options;
};
struct InsertSparse {
  std::string project, dataset, string_id, sparse_text;
  Options options;
};
struct InsertDenseBatch {
  std::string project, dataset;
  StringList ids;
  WordRows vectors;
  Options options;
};
struct InsertSparseBatch {
  std::string project, dataset;
  StringList ids;
  StringList sparse_texts;
  Options options;
};
struct Search {
  std::string project, dataset, index, query_type;
  Options options;
};
struct Upload {
  std::string project, file_path;
  Options options;
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
