// Vector statements: DELETE_VECTOR, INSERT_VECTOR, INSERT_VECTOR_BATCH and SEARCH.
// They parse and collect their arguments; their handlers are not wired in yet.
#include "language/statement_actions.h"

void delete_vector_action(ParseContext&, std::string, std::string, StringList) {}
void insert_dense_action(ParseContext&, std::string, std::string, std::string, StringList,
                         OptionMap) {}
void insert_sparse_action(ParseContext&, std::string, std::string, std::string, std::string,
                          OptionMap) {}
void insert_dense_batch_action(ParseContext&, std::string, std::string, StringList, StringLists,
                               OptionMap) {}
void insert_sparse_batch_action(ParseContext&, std::string, std::string, StringList, StringList,
                                OptionMap) {}
void search_action(ParseContext&, std::string, std::string, std::string, std::string, OptionMap) {}
