#pragma once
// UPLOAD: a data file sent to a dataset shard by shard.

#include <string>

#include "client/session.h"
#include "language/statement.h"

namespace rest_client {

// True only after every shard's upload job has finished.
bool handle_upload(Session& session, const std::string& project, const std::string& file_path,
                   Options options);

}  // namespace rest_client
