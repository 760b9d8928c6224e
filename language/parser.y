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
#include "language/parse_context.h"
#include "language/vocabulary.h"
typedef void* yyscan_t;
}

%code {
#include <algorithm>

#include "language/diagnostics.h"
#include "language/option_maps.h"
#include "language/statement_actions.h"

int yylex(language::Parser::value_type* value, yyscan_t scanner);

#define ABORT_IF_FALSE(ok) do { if (!(ok)) { ctx.error_reported = true; YYABORT; } } while (0)

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
%token OPTION NEWLINE HELP HELP_FLAG
%token <const StatementDef*> ATTACH_INDEX INIT_DATASET CREATE_PROJECT DELETE_DATASET
%token <const StatementDef*> DELETE_INDEX DELETE_PROJECT DELETE_VECTOR FETCH_DATASETS
%token <const StatementDef*> FETCH_PROJECTS INSERT_VECTOR INSERT_VECTOR_BATCH LIST_INDEX_INFO
%token <const StatementDef*> SEARCH UPLOAD
%token DIM VECTOR_ATTRIBUTES TOP_K FILTER_ATTRIBUTE FILTER_TYPE TARGET_VALUE
%token START_VALUE END_VALUE QUERY_VECTOR ROW_NUMBER FILE_PATH FILE_TYPE DATASET_NAME
%token FILE_FORMAT HAS_FIELD_NAMES VECTOR_TYPE VECTOR_ID_FIELD_NAME VECTOR_DATA_FIELD_NAME
%token ATTRIBUTES BINARY_DIM BINARY_DTYPE QUERY_DATASET_NAME STRING_IDS_FILE_PATH DRY_RUN
%token RESUME RESEND_UNANSWERED SKIP_UNANSWERED
%token COLON COMMA LBRACKET RBRACKET

%type <std::string> vector_attr_list
%type <KeyValueList> vector_attr_values key_value_seq
%type <StringList> insert_vector_list insert_vector_values string_id_list string_ids
%type <StringList> vector_attr_list_batch vector_attr_values_batch
%type <StringList> query_vector_list attr_list optional_values value_seq
%type <WordRows> insert_vector_list_batch insert_vector_values_batch batch_row
%type <OptionMap> insert_vector_options insert_vector_batch_options search_options upload_options
%type <OptionEntry> insert_vector_option insert_vector_batch_option search_option upload_option

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
  | insert_vector_options insert_vector_option
      { $$ = std::move($1);
        ABORT_IF_FALSE(add_option($$, std::move($2), OptionTrace::kInsertVector)); }
  ;

insert_vector_option
  : VECTOR_ATTRIBUTES vector_attr_list { $$ = OptionEntry("vector_attributes", std::move($2)); }
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
  | insert_vector_batch_options insert_vector_batch_option
      { $$ = std::move($1);
        ABORT_IF_FALSE(add_option($$, std::move($2), OptionTrace::kNone)); }
  ;

insert_vector_batch_option
  : VECTOR_ATTRIBUTES vector_attr_list_batch
      { std::string text;
        ABORT_IF_FALSE(object_texts_to_json_array($2, text));
        $$ = OptionEntry("vector_attributes", std::move(text)); }
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
  | search_options search_option
      { $$ = std::move($1);
        ABORT_IF_FALSE(add_option($$, std::move($2), OptionTrace::kSearch)); }
  ;

search_option
  : TOP_K STRING_LITERAL { $$ = OptionEntry("top_k", std::move($2)); }
  | FILTER_ATTRIBUTE STRING_LITERAL { $$ = OptionEntry("filter_attribute", std::move($2)); }
  | FILTER_TYPE STRING_LITERAL { $$ = OptionEntry("filter_type", std::move($2)); }
  | TARGET_VALUE attr_list
      { std::string text;
        ABORT_IF_FALSE(strings_to_json_array($2, text));
        $$ = OptionEntry("target_value", std::move(text)); }
  | START_VALUE STRING_LITERAL { $$ = OptionEntry("start_value", std::move($2)); }
  | END_VALUE STRING_LITERAL { $$ = OptionEntry("end_value", std::move($2)); }
  | QUERY_VECTOR query_vector_list
      { std::string text;
        ABORT_IF_FALSE(strings_to_json_array($2, text));
        $$ = OptionEntry("query_vector", std::move(text)); }
  | ROW_NUMBER STRING_LITERAL { $$ = OptionEntry("row_number", std::move($2)); }
  | FILE_PATH STRING_LITERAL { $$ = OptionEntry("file_path", std::move($2)); }
  | FILE_TYPE STRING_LITERAL { $$ = OptionEntry("file_type", std::move($2)); }
  | QUERY_DATASET_NAME STRING_LITERAL { $$ = OptionEntry("dataset_name", std::move($2)); }
  ;

query_vector_list
  : LBRACKET optional_values RBRACKET { $$ = std::move($2); }
  | NUMBER_LIST { $$ = $1.row(0); }
  ;

attr_list
  : LBRACKET optional_values RBRACKET { $$ = std::move($2); }
  | NUMBER_LIST { $$ = $1.row(0); }
  ;

optional_values
  : %empty {}
  | value_seq { $$ = std::move($1); }
  | value_seq COMMA { $$ = std::move($1); }
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
  | upload_options upload_option
      { $$ = std::move($1);
        ABORT_IF_FALSE(add_option($$, std::move($2), OptionTrace::kNone)); }
  ;

upload_option
  : BINARY_DIM STRING_LITERAL { $$ = OptionEntry("binary_dim", std::move($2)); }
  | BINARY_DTYPE STRING_LITERAL { $$ = OptionEntry("binary_dtype", std::move($2)); }
  | FILE_FORMAT STRING_LITERAL { $$ = OptionEntry("file_format", std::move($2)); }
  | DATASET_NAME STRING_LITERAL { $$ = OptionEntry("collection_name", std::move($2)); }
  | HAS_FIELD_NAMES STRING_LITERAL
      { std::string normalised;
        ABORT_IF_FALSE(normalise_has_field_names($2, normalised));
        $$ = OptionEntry("has_field_names", std::move(normalised)); }
  | VECTOR_TYPE STRING_LITERAL { $$ = OptionEntry("vector_type", std::move($2)); }
  | ATTRIBUTES attr_list
      { std::string text;
        ABORT_IF_FALSE(strings_to_json_array($2, text));
        $$ = OptionEntry("attributes", std::move(text)); }
  | VECTOR_ID_FIELD_NAME STRING_LITERAL { $$ = OptionEntry("vector_id_field_name", std::move($2)); }
  | VECTOR_DATA_FIELD_NAME STRING_LITERAL { $$ = OptionEntry("vector_data_field_name", std::move($2)); }
  | STRING_IDS_FILE_PATH STRING_LITERAL { $$ = OptionEntry("string_ids_file_path", std::move($2)); }
  | DRY_RUN { $$ = OptionEntry("dry_run", "true"); }
  | RESUME { $$ = OptionEntry("resume", "true"); }
  | RESEND_UNANSWERED { $$ = OptionEntry("resend_unanswered", "true"); }
  | SKIP_UNANSWERED { $$ = OptionEntry("skip_unanswered", "true"); }
  ;

%%

void language::Parser::error(const std::string& message) {
  ctx.error_reported = true;
  yyerror(message.c_str());
}
