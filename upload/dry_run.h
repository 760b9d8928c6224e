#pragma once
// UPLOAD --dry-run: the file read as an upload reads it, with the same option checks and readers,
// over the whole file, and nothing sent. What it holds, the shards an upload would send, and the
// problems found, each with its record's number and byte offset.

#include <string>

#include "client/session.h"
#include "upload/input_file.h"
#include "upload/upload_plan.h"

namespace rest_client {

// True when a real upload would go through: the file holds vectors and no problem was found.
bool dry_run_upload(Session& session, InputFile& file, const UploadPlan& plan,
                    const nlohmann::json& body);

}  // namespace rest_client
