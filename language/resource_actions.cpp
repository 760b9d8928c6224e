// Project, dataset and index statements.
#include <algorithm>
#include <cctype>
#include <iostream>
#include <utility>

#include "client/colours.h"
#include "client/line_input.h"
#include "commands/handlers.h"
#include "language/diagnostics.h"
#include "language/help_texts.h"
#include "language/statement_actions.h"

namespace {

// Asks a yes/no question; only "y" or "Y" confirms. End of input cancels.
bool confirmed(const std::string& question, const char* cancelled_text) {
  std::cout << rest_client::yellow() << question << rest_client::reset() << std::flush;
  const auto answer = rest_client::read_answer_line();
  if (answer && (*answer == "y" || *answer == "Y")) return true;
  std::cout << rest_client::red() << cancelled_text << rest_client::reset() << std::endl;
  return false;
}

}  // namespace

bool attach_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index, std::string dist_type, const std::string* large_index) {
  bool large = false;
  if (large_index != nullptr) {
    std::string word = *large_index;
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (word == "true" || word == "yes" || word == "1") {
      large = true;
    } else if (!(word == "false" || word == "no" || word == "0")) {
      yyerror(
          "Invalid value for large_index. Expected one of: \"true\", \"false\", \"yes\", \"no\", "
          "\"1\", \"0\".");
      return false;
    }
  }
  ctx.pending = [=] {
    debug("Attaching index '" + index + "' to dataset '" + dataset +
          "' with large_index=" + (large ? "true" : "false") + "...");
    return rest_client::handle_attach_index(project, dataset, index, dist_type, large);
  };
  return true;
}

bool init_dataset_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string vector_type, const std::string* vector_dim) {
  const bool sparse = vector_type == "sparse";
  if (vector_dim == nullptr && !sparse) {
    yyerror("vector_dim is required for non-sparse vector types");
    print_init_dataset_help();
    return false;
  }
  if (vector_dim != nullptr && sparse) yywarning("vector_dim is ignored for sparse vector type");
  std::string dim = vector_dim == nullptr ? "0" : *vector_dim;
  ctx.pending = [=] {
    return rest_client::handle_init_dataset(project, dataset, vector_type, dim);
  };
  return true;
}

void create_project_action(ParseContext& ctx, std::string project, std::string application) {
  ctx.pending = [=] { return rest_client::handle_create_project(project, application); };
}

void delete_dataset_action(ParseContext& ctx, std::string project, std::string dataset) {
  ctx.pending = [=] {
    if (!confirmed("Are you sure you want to delete dataset '" + dataset + "' in project'" +
                       project + "'? [y/N]: ",
                   "Deletion cancelled.")) {
      return false;
    }
    return rest_client::handle_delete_dataset(project, dataset);
  };
}

void delete_project_action(ParseContext& ctx, std::string project) {
  ctx.pending = [=] {
    if (!confirmed("Are you sure you want to delete project '" + project + "'? [y/N]: ",
                   "Deletion cancelled")) {
      return false;
    }
    return rest_client::handle_delete_project(project);
  };
}

void delete_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index) {
  ctx.pending = [=] {
    if (!confirmed("Are you sure you want to delete index '" + index + "' from dataset '" +
                       dataset + "'? [y/N]: ",
                   "Deletion cancelled.")) {
      return false;
    }
    const bool ok = rest_client::handle_delete_index(project, dataset, index);
    debug("Delete index done.");
    return ok;
  };
}

void fetch_datasets_action(ParseContext& ctx, std::string project) {
  ctx.pending = [=] {
    const bool ok = rest_client::handle_fetch_datasets(project);
    debug("Fetch datasets done.");
    return ok;
  };
}

void fetch_projects_action(ParseContext& ctx) {
  ctx.pending = [] { return rest_client::handle_fetch_projects(); };
}

void list_index_action(ParseContext& ctx, std::string project, std::string dataset) {
  ctx.pending = [=] { return rest_client::handle_list_index_infos(project, dataset); };
}
