// Grammar of the command language: one statement (or an empty line) per parse. A statement's
// value is built here; the dispatcher runs it once the whole line has parsed.
%require "3.8"
%language "c++"
%define api.namespace {language}
%define api.parser.class {Parser}
%define api.value.type variant
%define lr.default-reduction accepting
%lex-param { yyscan_t scanner }
%parse-param { yyscan_t scanner } { ParseContext& ctx }

%code requires {
#include <string>
#include <utility>
#include <vector>
#include "language/option_values.h"
#include "language/parse_context.h"
#include "language/vocabulary.h"
typedef void* yyscan_t;
}

%code {
#include <algorithm>

#include "language/diagnostics.h"
#include "language/option_values.h"
#include "language/statement_actions.h"

int yylex(language::Parser::value_type* value, yyscan_t scanner);

#define ABORT_IF_FALSE(ok) do { if (!(ok)) { ctx.error_reported = true; YYABORT; } } while (0)

// An option the table refuses for this statement is a syntax error, recovered from as any other;
// one whose value it refuses ends the statement.
#define ADD_OPTION(options, keyword, option, value)                                       \
  do {                                                                                    \
    switch (add_option(options, statement_def(keyword), *(option), value)) {              \
      case OptionAdded::kAdded: break;                                                    \
      case OptionAdded::kNotTaken: error("syntax error"); YYERROR;                        \
      case OptionAdded::kRefused: ctx.error_reported = true; YYABORT;                     \
    }                                                                                     \
  } while (0)

namespace {

void help_for(const StatementDef* statement) { print_help(*statement); }

void help_asked(ParseContext& ctx, const StatementDef* statement) {
  print_help(*statement);
  ctx.helped = statement;
}

}  // namespace
}

// Statement keywords carry their entry of the vocabulary, for their help texts.
%token <std::string> STRING_LITERAL
// "[1, 2.5, -3]": a list of number-like words in one token, read as the brackets, words and
// commas it stands for.
%token <WordRows> NUMBER_LIST
%token NEWLINE HELP HELP_FLAG
%token <const StatementDef*> ATTACH_INDEX INIT_DATASET CREATE_PROJECT DELETE_DATASET
%token <const StatementDef*> DELETE_INDEX DELETE_PROJECT DELETE_VECTOR FETCH_DATASETS
%token <const StatementDef*> FETCH_PROJECTS INSERT_VECTOR INSERT_VECTOR_BATCH LIST_INDEX_INFO
%token <const StatementDef*> SEARCH UPLOAD
// Options carry their entry of the option table, which says what their value must be.
%token <const OptionDef*> OPTION FLAG
%token COLON COMMA LBRACKET RBRACKET

%type <std::string> vector_attr_list
%type <KeyValueList> vector_attr_values key_value_seq
%type <StringList> insert_vector_list insert_vector_values string_id_list string_ids
%type <StringList> vector_attr_list_batch vector_attr_values_batch value_seq
%type <std::vector<KeyValueList>> pair_lists
%type <WordRows> insert_vector_list_batch insert_vector_values_batch batch_row
%type <Options> insert_vector_options insert_vector_batch_options search_options upload_options
%type <OptionWords> option_value

%%

input
  : NEWLINE
  | statement NEWLINE
  ;

statement
  : help_stmt | attach_index_stmt | init_dataset_stmt | create_project_stmt
  | delete_dataset_stmt | delete_index_stmt | delete_project_stmt | delete_vector_stmt
  | fetch_datasets_stmt | fetch_projects_stmt | insert_vector_stmt | insert_vector_batch_stmt
  | list_index_info_stmt | search_stmt | upload_stmt
  ;

help_stmt
  : STRING_LITERAL HELP_FLAG { print_command_list(); ctx.listed_statements = true; }
  | HELP { print_command_list(); ctx.listed_statements = true; }
  | HELP error { print_command_list(); ctx.listed_statements = true; }
  ;

attach_index_stmt
  : ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(attach_index_action(ctx, std::move($2), std::move($3), std::move($4), std::move($5), std::nullopt)); }
  | ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(attach_index_action(ctx, std::move($2), std::move($3), std::move($4), std::move($5), std::move($6))); }
  | ATTACH_INDEX error { help_for($1); }
  | ATTACH_INDEX HELP_FLAG { help_asked(ctx, $1); }
  ;

init_dataset_stmt
  : INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(init_dataset_action(ctx, std::move($2), std::move($3), std::move($4), std::nullopt)); }
  | INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(init_dataset_action(ctx, std::move($2), std::move($3), std::move($4), std::move($5))); }
  | INIT_DATASET error { help_for($1); }
  | INIT_DATASET HELP_FLAG { help_asked(ctx, $1); }
  ;

create_project_stmt
  : CREATE_PROJECT STRING_LITERAL STRING_LITERAL
      { ctx.statement = stmt::CreateProject{std::move($2), std::move($3)}; }
  | CREATE_PROJECT STRING_LITERAL SEARCH
      { ctx.statement = stmt::CreateProject{std::move($2), "search"}; }
  | CREATE_PROJECT error { help_for($1); }
  | CREATE_PROJECT HELP_FLAG { help_asked(ctx, $1); }
  ;

delete_dataset_stmt
  : DELETE_DATASET STRING_LITERAL STRING_LITERAL
      { ctx.statement = stmt::DeleteDataset{std::move($2), std::move($3)}; }
  | DELETE_DATASET error { help_for($1); }
  | DELETE_DATASET HELP_FLAG { help_asked(ctx, $1); }
  ;

delete_vector_stmt
  : DELETE_VECTOR STRING_LITERAL STRING_LITERAL string_id_list
      { ctx.statement = stmt::DeleteVector{std::move($2), std::move($3), std::move($4)}; }
  | DELETE_VECTOR error { help_for($1); }
  | DELETE_VECTOR HELP_FLAG { help_asked(ctx, $1); }
  ;

delete_project_stmt
  : DELETE_PROJECT STRING_LITERAL { ctx.statement = stmt::DeleteProject{std::move($2)}; }
  | DELETE_PROJECT error { help_for($1); }
  | DELETE_PROJECT HELP_FLAG { help_asked(ctx, $1); }
  ;

delete_index_stmt
  : DELETE_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ctx.statement = stmt::DeleteIndex{std::move($2), std::move($3), std::move($4)}; }
  | DELETE_INDEX error { help_for($1); }
  | DELETE_INDEX HELP_FLAG { help_asked(ctx, $1); }
  ;

fetch_datasets_stmt
  : FETCH_DATASETS STRING_LITERAL { ctx.statement = stmt::FetchDatasets{std::move($2)}; }
  | FETCH_DATASETS error { help_for($1); }
  | FETCH_DATASETS HELP_FLAG { help_asked(ctx, $1); }
  ;

fetch_projects_stmt
  : FETCH_PROJECTS { ctx.statement = stmt::FetchProjects{}; }
  | FETCH_PROJECTS error { help_for($1); }
  | FETCH_PROJECTS HELP_FLAG { help_asked(ctx, $1); }
  ;

list_index_info_stmt
  : LIST_INDEX_INFO STRING_LITERAL STRING_LITERAL
      { ctx.statement = stmt::ListIndex{std::move($2), std::move($3)}; }
  | LIST_INDEX_INFO error { help_for($1); }
  | LIST_INDEX_INFO HELP_FLAG { help_asked(ctx, $1); }
  ;

insert_vector_stmt
  : INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL insert_vector_list insert_vector_options
      { ctx.statement = stmt::InsertDense{std::move($2), std::move($3), std::move($4), std::move($5), std::move($6)}; }
  | INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL vector_attr_list insert_vector_options
      { ctx.statement = stmt::InsertSparse{std::move($2), std::move($3), std::move($4), std::move($5), std::move($6)}; }
  | INSERT_VECTOR error { help_for($1); }
  | INSERT_VECTOR HELP_FLAG { help_asked(ctx, $1); }
  ;

insert_vector_list
  : LBRACKET insert_vector_values RBRACKET { $$ = std::move($2); }
  | NUMBER_LIST { $$ = $1.row(0); }
  ;

insert_vector_values
  : STRING_LITERAL { $$.push_back(std::move($1)); }
  | insert_vector_values COMMA STRING_LITERAL { $$ = std::move($1); $$.push_back(std::move($3)); }
  ;

insert_vector_options
  : %empty {}
  | insert_vector_options OPTION option_value
      { $$ = std::move($1); ADD_OPTION($$, "INSERT_VECTOR", $2, std::move($3)); }
  | insert_vector_options FLAG
      { $$ = std::move($1); ADD_OPTION($$, "INSERT_VECTOR", $2, OptionWords{}); }
  ;

// An option's value in any shape an option takes; the option table says which fits.
option_value
  : STRING_LITERAL { $$.shape = OptionWords::Shape::kWord; $$.word = std::move($1); }
  | NUMBER_LIST { $$.shape = OptionWords::Shape::kWords; $$.words = $1.row(0); }
  | LBRACKET RBRACKET { $$.shape = OptionWords::Shape::kEmptyList; }
  | LBRACKET value_seq RBRACKET { $$.shape = OptionWords::Shape::kWords; $$.words = std::move($2); }
  | LBRACKET value_seq COMMA RBRACKET
      { $$.shape = OptionWords::Shape::kWords; $$.words = std::move($2); }
  | LBRACKET key_value_seq RBRACKET
      { $$.shape = OptionWords::Shape::kPairs; $$.pairs = std::move($2); }
  | LBRACKET key_value_seq COMMA RBRACKET
      { $$.shape = OptionWords::Shape::kPairs; $$.pairs = std::move($2); }
  | LBRACKET pair_lists RBRACKET
      { $$.shape = OptionWords::Shape::kPairLists; $$.pair_lists = std::move($2); }
  ;

pair_lists
  : LBRACKET vector_attr_values RBRACKET { $$.push_back(std::move($2)); }
  | pair_lists COMMA LBRACKET vector_attr_values RBRACKET
      { $$ = std::move($1); $$.push_back(std::move($4)); }
  ;

vector_attr_list
  : LBRACKET vector_attr_values RBRACKET { ABORT_IF_FALSE(key_values_to_json($2, $$)); }
  ;

vector_attr_values
  : %empty {}
  | key_value_seq { $$ = std::move($1); }
  | key_value_seq COMMA { $$ = std::move($1); }
  ;

key_value_seq
  : STRING_LITERAL COLON STRING_LITERAL { $$.emplace_back(std::move($1), std::move($3)); }
  | key_value_seq COMMA STRING_LITERAL COLON STRING_LITERAL
      { $$ = std::move($1); $$.emplace_back(std::move($3), std::move($5)); }
  ;

insert_vector_batch_stmt
  : INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list insert_vector_list_batch insert_vector_batch_options
      { ctx.statement = stmt::InsertDenseBatch{std::move($2), std::move($3), std::move($4), std::move($5), std::move($6)}; }
  | INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list vector_attr_list_batch insert_vector_batch_options
      { ctx.statement = stmt::InsertSparseBatch{std::move($2), std::move($3), std::move($4), std::move($5), std::move($6)}; }
  | INSERT_VECTOR_BATCH error { help_for($1); }
  | INSERT_VECTOR_BATCH HELP_FLAG { help_asked(ctx, $1); }
  ;

string_id_list
  : LBRACKET string_ids RBRACKET { $$ = std::move($2); }
  | NUMBER_LIST { $$ = $1.row(0); }
  ;

string_ids
  : STRING_LITERAL { $$.push_back(std::move($1)); }
  | string_ids COMMA STRING_LITERAL { $$ = std::move($1); $$.push_back(std::move($3)); }
  ;

insert_vector_list_batch
  : LBRACKET insert_vector_values_batch RBRACKET { $$ = std::move($2); }
  ;

insert_vector_values_batch
  : %empty {}
  | batch_row
      { // The rows that follow are added in place: room for as many words as the line holds
        // commas, and for its text.
        $$.reserve(ctx.line.size(), std::count(ctx.line.begin(), ctx.line.end(), ',') + 1);
        $$.add_rows($1); }
  | insert_vector_values_batch COMMA batch_row { $$ = std::move($1); $$.add_rows($3); }
  ;

batch_row
  : LBRACKET insert_vector_values RBRACKET { $$ = WordRows($2); }
  | NUMBER_LIST { $$ = std::move($1); }
  ;

insert_vector_batch_options
  : %empty {}
  | insert_vector_batch_options OPTION option_value
      { $$ = std::move($1); ADD_OPTION($$, "INSERT_VECTOR_BATCH", $2, std::move($3)); }
  | insert_vector_batch_options FLAG
      { $$ = std::move($1); ADD_OPTION($$, "INSERT_VECTOR_BATCH", $2, OptionWords{}); }
  ;

vector_attr_list_batch
  : LBRACKET vector_attr_values_batch RBRACKET { $$ = std::move($2); }
  ;

vector_attr_values_batch
  : vector_attr_list { $$.push_back(std::move($1)); }
  | vector_attr_values_batch COMMA vector_attr_list
      { $$ = std::move($1); $$.push_back(std::move($3)); }
  ;

search_stmt
  : SEARCH STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL search_options
      { ctx.statement = stmt::Search{std::move($2), std::move($3), std::move($4), std::move($5), std::move($6)}; }
  | SEARCH error { help_for($1); }
  | SEARCH HELP_FLAG { help_asked(ctx, $1); }
  ;

search_options
  : %empty {}
  | search_options OPTION option_value
      { $$ = std::move($1); ADD_OPTION($$, "SEARCH", $2, std::move($3)); }
  | search_options FLAG
      { $$ = std::move($1); ADD_OPTION($$, "SEARCH", $2, OptionWords{}); }
  ;

value_seq
  : STRING_LITERAL { $$.push_back(std::move($1)); }
  | value_seq COMMA STRING_LITERAL { $$ = std::move($1); $$.push_back(std::move($3)); }
  ;

upload_stmt
  : UPLOAD STRING_LITERAL STRING_LITERAL upload_options
      { ABORT_IF_FALSE(upload_action(ctx, std::move($2), std::move($3), std::move($4))); }
  | UPLOAD error { help_for($1); }
  | UPLOAD HELP_FLAG { help_asked(ctx, $1); }
  ;

upload_options
  : %empty {}
  | upload_options OPTION option_value
      { $$ = std::move($1); ADD_OPTION($$, "UPLOAD", $2, std::move($3)); }
  | upload_options FLAG
      { $$ = std::move($1); ADD_OPTION($$, "UPLOAD", $2, OptionWords{}); }
  ;

%%

void language::Parser::error(const std::string& message) {
  ctx.error_reported = true;
  yyerror(message.c_str());
}
