%{
// Grammar of the command language: one statement (or an empty line) per parse.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "language/diagnostics.h"
#include "language/help_texts.h"
#include "language/option_maps.h"
#include "language/parse_context.h"
#include "language/statement_actions.h"
%}

%code requires {
#include <string>
#include <vector>
#include "language/parse_context.h"
typedef void* yyscan_t;
}

%code {
int yylex(YYSTYPE* yylval_param, yyscan_t yyscanner);
void yyerror(yyscan_t scanner, ParseContext& ctx, const char* message);

// Takes ownership of a semantic value so that it is freed whatever the action does.
template <class T>
std::unique_ptr<T> take(T* value) { return std::unique_ptr<T>(value); }

#define ABORT_IF_FALSE(ok) do { if (!(ok)) { ctx.error_reported = true; YYABORT; } } while (0)
}

%define api.pure full
%define lr.default-reduction accepting
%lex-param { yyscan_t scanner }
%parse-param { yyscan_t scanner } { ParseContext& ctx }

%union {
  std::string* str;
  StringList* list;
  StringLists* lists;
  KeyValueList* pairs;
  OptionMap* options;
  OptionEntry* entry;
}

%token <str> STRING_LITERAL
%token OPTION NEWLINE HELP HELP_FLAG
%token ATTACH_INDEX DIM INIT_DATASET CREATE_PROJECT DELETE_DATASET DELETE_INDEX DELETE_PROJECT
%token DELETE_VECTOR FETCH_DATASETS FETCH_PROJECTS INSERT_VECTOR VECTOR_ATTRIBUTES
%token INSERT_VECTOR_BATCH LIST_INDEX_INFO SEARCH TOP_K FILTER_ATTRIBUTE FILTER_TYPE TARGET_VALUE
%token START_VALUE END_VALUE QUERY_VECTOR ROW_NUMBER FILE_PATH FILE_TYPE DATASET_NAME UPLOAD
%token FILE_FORMAT HAS_FIELD_NAMES VECTOR_TYPE VECTOR_ID_FIELD_NAME VECTOR_DATA_FIELD_NAME
%token ATTRIBUTES BINARY_DIM BINARY_DTYPE QUERY_DATASET_NAME STRING_IDS_FILE_PATH
%token COLON COMMA LBRACKET RBRACKET

%type <str> vector_attr_list
%type <pairs> vector_attr_values key_value_seq
%type <list> insert_vector_list insert_vector_values string_id_list string_ids
%type <list> vector_attr_list_batch vector_attr_values_batch
%type <list> query_vector_list attr_list optional_values value_seq
%type <lists> insert_vector_list_batch insert_vector_values_batch
%type <options> insert_vector_options insert_vector_batch_options search_options upload_options
%type <entry> insert_vector_option insert_vector_batch_option search_option upload_option

%destructor { delete $$; } <str> <list> <lists> <pairs> <options> <entry>

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
  : STRING_LITERAL HELP_FLAG { delete $1; print_command_list(); }
  | HELP { print_command_list(); }
  | HELP error { print_command_list(); }
  ;

attach_index_stmt
  : ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(attach_index_action(ctx, *take($2), *take($3), *take($4), *take($5), nullptr)); }
  | ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { auto large = take($6);
        ABORT_IF_FALSE(attach_index_action(ctx, *take($2), *take($3), *take($4), *take($5), large.get())); }
  | ATTACH_INDEX error { print_attach_index_help(); }
  | ATTACH_INDEX HELP_FLAG { print_attach_index_help(); }
  ;

init_dataset_stmt
  : INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { ABORT_IF_FALSE(init_dataset_action(ctx, *take($2), *take($3), *take($4), nullptr)); }
  | INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { auto dim = take($5);
        ABORT_IF_FALSE(init_dataset_action(ctx, *take($2), *take($3), *take($4), dim.get())); }
  | INIT_DATASET error { print_init_dataset_help(); }
  | INIT_DATASET HELP_FLAG { print_init_dataset_help(); }
  ;

create_project_stmt
  : CREATE_PROJECT STRING_LITERAL STRING_LITERAL
      { create_project_action(ctx, *take($2), *take($3)); }
  | CREATE_PROJECT STRING_LITERAL SEARCH { create_project_action(ctx, *take($2), "search"); }
  | CREATE_PROJECT error { print_create_project_help(); }
  | CREATE_PROJECT HELP_FLAG { print_create_project_help(); }
  ;

delete_dataset_stmt
  : DELETE_DATASET STRING_LITERAL STRING_LITERAL
      { delete_dataset_action(ctx, *take($2), *take($3)); }
  | DELETE_DATASET error { print_delete_dataset_help(); }
  | DELETE_DATASET HELP_FLAG { print_delete_dataset_help(); }
  ;

delete_vector_stmt
  : DELETE_VECTOR STRING_LITERAL STRING_LITERAL string_id_list
      { delete_vector_action(ctx, *take($2), *take($3), std::move(*take($4))); }
  | DELETE_VECTOR error { print_delete_vector_help(); }
  | DELETE_VECTOR HELP_FLAG { print_delete_vector_help(); }
  ;

delete_project_stmt
  : DELETE_PROJECT STRING_LITERAL { delete_project_action(ctx, *take($2)); }
  | DELETE_PROJECT error { print_delete_project_help(); }
  | DELETE_PROJECT HELP_FLAG { print_delete_project_help(); }
  ;

delete_index_stmt
  : DELETE_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL
      { delete_index_action(ctx, *take($2), *take($3), *take($4)); }
  | DELETE_INDEX error { print_delete_index_help(); }
  | DELETE_INDEX HELP_FLAG { print_delete_index_help(); }
  ;

fetch_datasets_stmt
  : FETCH_DATASETS STRING_LITERAL { fetch_datasets_action(ctx, *take($2)); }
  | FETCH_DATASETS error { print_fetch_datasets_help(); }
  | FETCH_DATASETS HELP_FLAG { print_fetch_datasets_help(); }
  ;

fetch_projects_stmt
  : FETCH_PROJECTS { fetch_projects_action(ctx); }
  | FETCH_PROJECTS error { print_fetch_projects_help(); }
  | FETCH_PROJECTS HELP_FLAG { print_fetch_projects_help(); }
  ;

list_index_info_stmt
  : LIST_INDEX_INFO STRING_LITERAL STRING_LITERAL
      { list_index_action(ctx, *take($2), *take($3)); }
  | LIST_INDEX_INFO error { print_list_index_info_help(); }
  | LIST_INDEX_INFO HELP_FLAG { print_list_index_info_help(); }
  ;

insert_vector_stmt
  : INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL insert_vector_list insert_vector_options
      { insert_dense_action(ctx, *take($2), *take($3), *take($4), std::move(*take($5)), std::move(*take($6))); }
  | INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL vector_attr_list insert_vector_options
      { insert_sparse_action(ctx, *take($2), *take($3), *take($4), *take($5), std::move(*take($6))); }
  | INSERT_VECTOR error { print_insert_vector_help(); }
  | INSERT_VECTOR HELP_FLAG { print_insert_vector_help(); }
  ;

insert_vector_list
  : LBRACKET insert_vector_values RBRACKET { $$ = $2; }
  ;

insert_vector_values
  : STRING_LITERAL { $$ = new StringList; $$->push_back(std::move(*take($1))); }
  | insert_vector_values COMMA STRING_LITERAL { $$ = $1; $$->push_back(std::move(*take($3))); }
  ;

insert_vector_options
  : %empty { $$ = new OptionMap; }
  | insert_vector_options insert_vector_option
      { auto entry = take($2); auto options = take($1);
        ABORT_IF_FALSE(add_option(*options, std::move(*entry), OptionTrace::kInsertVector));
        $$ = options.release(); }
  ;

insert_vector_option
  : VECTOR_ATTRIBUTES vector_attr_list
      { $$ = new OptionEntry("vector_attributes", std::move(*take($2))); }
  ;

vector_attr_list
  : LBRACKET vector_attr_values RBRACKET
      { auto pairs = take($2); std::string text;
        ABORT_IF_FALSE(key_values_to_json(*pairs, text)); $$ = new std::string(std::move(text)); }
  ;

vector_attr_values
  : %empty { $$ = new KeyValueList; }
  | key_value_seq { $$ = $1; }
  | key_value_seq COMMA { $$ = $1; }
  ;

key_value_seq
  : STRING_LITERAL COLON STRING_LITERAL
      { $$ = new KeyValueList; $$->emplace_back(std::move(*take($1)), std::move(*take($3))); }
  | key_value_seq COMMA STRING_LITERAL COLON STRING_LITERAL
      { $$ = $1; $$->emplace_back(std::move(*take($3)), std::move(*take($5))); }
  ;

insert_vector_batch_stmt
  : INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list insert_vector_list_batch insert_vector_batch_options
      { insert_dense_batch_action(ctx, *take($2), *take($3), std::move(*take($4)), std::move(*take($5)), std::move(*take($6))); }
  | INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list vector_attr_list_batch insert_vector_batch_options
      { insert_sparse_batch_action(ctx, *take($2), *take($3), std::move(*take($4)), std::move(*take($5)), std::move(*take($6))); }
  | INSERT_VECTOR_BATCH error { print_insert_vector_batch_help(); }
  | INSERT_VECTOR_BATCH HELP_FLAG { print_insert_vector_batch_help(); }
  ;

string_id_list
  : LBRACKET string_ids RBRACKET { $$ = $2; }
  ;

string_ids
  : STRING_LITERAL { $$ = new StringList; $$->push_back(std::move(*take($1))); }
  | string_ids COMMA STRING_LITERAL { $$ = $1; $$->push_back(std::move(*take($3))); }
  ;

insert_vector_list_batch
  : LBRACKET insert_vector_values_batch RBRACKET { $$ = $2; }
  ;

insert_vector_values_batch
  : %empty { $$ = new StringLists; }
  | insert_vector_list { $$ = new StringLists; $$->push_back(std::move(*take($1))); }
  | insert_vector_values_batch COMMA insert_vector_list
      { $$ = $1; $$->push_back(std::move(*take($3))); }
  ;

insert_vector_batch_options
  : %empty { $$ = new OptionMap; }
  | insert_vector_batch_options insert_vector_batch_option
      { auto entry = take($2); auto options = take($1);
        ABORT_IF_FALSE(add_option(*options, std::move(*entry), OptionTrace::kNone));
        $$ = options.release(); }
  ;

insert_vector_batch_option
  : VECTOR_ATTRIBUTES vector_attr_list_batch
      { auto objects = take($2); std::string text;
        ABORT_IF_FALSE(object_texts_to_json_array(*objects, text));
        $$ = new OptionEntry("vector_attributes", std::move(text)); }
  ;

vector_attr_list_batch
  : LBRACKET vector_attr_values_batch RBRACKET { $$ = $2; }
  ;

vector_attr_values_batch
  : vector_attr_list { $$ = new StringList; $$->push_back(std::move(*take($1))); }
  | vector_attr_values_batch COMMA vector_attr_list
      { $$ = $1; $$->push_back(std::move(*take($3))); }
  ;

search_stmt
  : SEARCH STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL search_options
      { search_action(ctx, *take($2), *take($3), *take($4), *take($5), std::move(*take($6))); }
  | SEARCH error { print_search_help(); }
  | SEARCH HELP_FLAG { print_search_help(); }
  ;

search_options
  : %empty { $$ = new OptionMap; }
  | search_options search_option
      { auto entry = take($2); auto options = take($1);
        ABORT_IF_FALSE(add_option(*options, std::move(*entry), OptionTrace::kSearch));
        $$ = options.release(); }
  ;

search_option
  : TOP_K STRING_LITERAL { $$ = new OptionEntry("top_k", std::move(*take($2))); }
  | FILTER_ATTRIBUTE STRING_LITERAL { $$ = new OptionEntry("filter_attribute", std::move(*take($2))); }
  | FILTER_TYPE STRING_LITERAL { $$ = new OptionEntry("filter_type", std::move(*take($2))); }
  | TARGET_VALUE attr_list
      { auto values = take($2); std::string text;
        ABORT_IF_FALSE(strings_to_json_array(*values, text));
        $$ = new OptionEntry("target_value", std::move(text)); }
  | START_VALUE STRING_LITERAL { $$ = new OptionEntry("start_value", std::move(*take($2))); }
  | END_VALUE STRING_LITERAL { $$ = new OptionEntry("end_value", std::move(*take($2))); }
  | QUERY_VECTOR query_vector_list
      { auto values = take($2); std::string text;
        ABORT_IF_FALSE(strings_to_json_array(*values, text));
        $$ = new OptionEntry("query_vector", std::move(text)); }
  | ROW_NUMBER STRING_LITERAL { $$ = new OptionEntry("row_number", std::move(*take($2))); }
  | FILE_PATH STRING_LITERAL { $$ = new OptionEntry("file_path", std::move(*take($2))); }
  | FILE_TYPE STRING_LITERAL { $$ = new OptionEntry("file_type", std::move(*take($2))); }
  | QUERY_DATASET_NAME STRING_LITERAL { $$ = new OptionEntry("dataset_name", std::move(*take($2))); }
  ;

query_vector_list
  : LBRACKET optional_values RBRACKET { $$ = $2; }
  ;

attr_list
  : LBRACKET optional_values RBRACKET { $$ = $2; }
  ;

optional_values
  : %empty { $$ = new StringList; }
  | value_seq { $$ = $1; }
  | value_seq COMMA { $$ = $1; }
  ;

value_seq
  : STRING_LITERAL { $$ = new StringList; $$->push_back(std::move(*take($1))); }
  | value_seq COMMA STRING_LITERAL { $$ = $1; $$->push_back(std::move(*take($3))); }
  ;

upload_stmt
  : UPLOAD STRING_LITERAL STRING_LITERAL upload_options
      { auto options = take($4);
        ABORT_IF_FALSE(upload_action(ctx, *take($2), *take($3), std::move(*options))); }
  | UPLOAD error { print_upload_help(); }
  | UPLOAD HELP_FLAG { print_upload_help(); }
  ;

upload_options
  : %empty { $$ = new OptionMap; }
  | upload_options upload_option
      { auto entry = take($2); auto options = take($1);
        ABORT_IF_FALSE(add_option(*options, std::move(*entry), OptionTrace::kNone));
        $$ = options.release(); }
  ;

upload_option
  : BINARY_DIM STRING_LITERAL { $$ = new OptionEntry("binary_dim", std::move(*take($2))); }
  | BINARY_DTYPE STRING_LITERAL { $$ = new OptionEntry("binary_dtype", std::move(*take($2))); }
  | FILE_FORMAT STRING_LITERAL { $$ = new OptionEntry("file_format", std::move(*take($2))); }
  | DATASET_NAME STRING_LITERAL { $$ = new OptionEntry("collection_name", std::move(*take($2))); }
  | HAS_FIELD_NAMES STRING_LITERAL
      { auto word = take($2); std::string normalised;
        ABORT_IF_FALSE(normalise_has_field_names(*word, normalised));
        $$ = new OptionEntry("has_field_names", std::move(normalised)); }
  | VECTOR_TYPE STRING_LITERAL { $$ = new OptionEntry("vector_type", std::move(*take($2))); }
  | ATTRIBUTES attr_list
      { auto values = take($2); std::string text;
        ABORT_IF_FALSE(strings_to_json_array(*values, text));
        $$ = new OptionEntry("attributes", std::move(text)); }
  | VECTOR_ID_FIELD_NAME STRING_LITERAL { $$ = new OptionEntry("vector_id_field_name", std::move(*take($2))); }
  | VECTOR_DATA_FIELD_NAME STRING_LITERAL { $$ = new OptionEntry("vector_data_field_name", std::move(*take($2))); }
  | STRING_IDS_FILE_PATH STRING_LITERAL { $$ = new OptionEntry("string_ids_file_path", std::move(*take($2))); }
  ;

%%

void yyerror(yyscan_t, ParseContext& ctx, const char* message) {
  ctx.error_reported = true;
  yyerror(message);
}
