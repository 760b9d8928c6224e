#pragma once
// Fixed help texts: the list of commands and one text per command.

void print_command_list();
void print_attach_index_help();
void print_create_project_help();
void print_init_dataset_help();
void print_delete_dataset_help();
void print_delete_index_help();
void print_delete_vector_help();
void print_delete_project_help();
void print_fetch_datasets_help();
void print_fetch_projects_help();
void print_insert_vector_help();
void print_insert_vector_batch_help();
void print_list_index_info_help();
void print_search_help();
void print_upload_help();
