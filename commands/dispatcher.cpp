#include "commands/dispatcher.h"

#include <iostream>
#include <utility>

#include "client/colours.h"
#include "client/line_input.h"
#include "commands/handlers.h"
#include "language/diagnostics.h"

namespace rest_client {
namespace {

// Asks a yes/no question; only "y" or "Y" confirms. End of input cancels.
bool confirmed(const std::string& question, const char* cancelled_text) {
  std::cout << yellow() << question << reset() << std::flush;
  const auto answer = read_answer_line();
  if (answer && (*answer == "y" || *answer == "Y")) return true;
  std::cout << red() << cancelled_text << reset() << std::endl;
  return false;
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

bool execute(Session& session, Statement statement) {
  return std::visit(
      Overloaded{
          [&](stmt::CreateProject& s) {
            return handle_create_project(session, s.project, s.application);
          },
          [&](stmt::FetchProjects&) { return handle_fetch_projects(session); },
          [&](stmt::DeleteProject& s) {
            return confirmed("Are you sure you want to delete project '" + s.project + "'? [y/N]: ",
                             "Deletion cancelled") &&
                   handle_delete_project(session, s.project);
          },
          [&](stmt::InitDataset& s) {
            return handle_init_dataset(session, s.project, s.dataset, s.vector_type, s.vector_dim);
          },
          [&](stmt::FetchDatasets& s) {
            const bool ok = handle_fetch_datasets(session, s.project);
            debug("Fetch datasets done.");
            return ok;
          },
          [&](stmt::DeleteDataset& s) {
            return confirmed("Are you sure you want to delete dataset '" + s.dataset +
                                 "' in project'" + s.project + "'? [y/N]: ",
                             "Deletion cancelled.") &&
                   handle_delete_dataset(session, s.project, s.dataset);
          },
          [&](stmt::AttachIndex& s) {
            debug("Attaching index '" + s.index + "' to dataset '" + s.dataset +
                  "' with large_index=" + (s.large_index ? "true" : "false") + "...");
            return handle_attach_index(session, s.project, s.dataset, s.index, s.dist_type,
                                       s.large_index);
          },
          [&](stmt::ListIndex& s) {
            return handle_list_index_infos(session, s.project, s.dataset);
          },
          [&](stmt::DeleteIndex& s) {
            if (!confirmed("Are you sure you want to delete index '" + s.index +
                               "' from dataset '" + s.dataset + "'? [y/N]: ",
                           "Deletion cancelled.")) {
              return false;
            }
            const bool ok = handle_delete_index(session, s.project, s.dataset, s.index);
            debug("Delete index done.");
            return ok;
          },
          [&](stmt::DeleteVector& s) {
            return handle_delete_vector(session, s.project, s.dataset, s.ids);
          },
          [&](stmt::InsertDense& s) {
            return handle_insert_vector(session, s.project, s.dataset, s.string_id,
                                        std::move(s.values), std::move(s.options));
          },
          [&](stmt::InsertSparse& s) {
            return handle_insert_vector(session, s.project, s.dataset, s.string_id, s.sparse_text,
                                        std::move(s.options));
          },
          [&](stmt::InsertDenseBatch& s) {
            return handle_insert_vector_batch(session, s.project, s.dataset, std::move(s.ids),
                                              std::move(s.vectors), std::move(s.options));
          },
          [&](stmt::InsertSparseBatch& s) {
            return handle_insert_vector_batch(session, s.project, s.dataset, std::move(s.ids),
                                              s.sparse_texts, std::move(s.options));
          },
          [&](stmt::Search& s) {
            return handle_search(session, s.project, s.dataset, s.index, s.query_type,
                                 std::move(s.options));
          },
          [&](stmt::Upload& s) {
            return handle_upload(session, s.project, s.file_path, std::move(s.options));
          },
      },
      statement);
}

bool run_statement_line(Session& session, const std::string& line) {
  ParsedLine parsed = parse_statement_line(line);
  // The statement runs outside the parser, so an interrupt can unwind through it.
  if (parsed.statement && !execute(session, std::move(*parsed.statement))) return false;
  return parsed.ok;
}

}  // namespace rest_client
