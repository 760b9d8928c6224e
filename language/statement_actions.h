#pragma once
// The statements that check more than their shape: each prints its diagnostic and returns
// false when the statement must be aborted, or stores the statement in the parse context.

#include <optional>
#include <string>

#include "language/parse_context.h"

bool attach_index_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string index, std::string dist_type,
                         const std::optional<std::string>& large_index);
bool init_dataset_action(ParseContext& ctx, std::string project, std::string dataset,
                         std::string vector_type, const std::optional<std::string>& vector_dim);
bool upload_action(ParseContext& ctx, std::string project, std::string file_path, Options options);
