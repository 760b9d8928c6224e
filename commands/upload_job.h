#pragma once
// Following a dense batch's upload job through "/get_upload_data_status".

#include <string>

namespace rest_client {

// Polls every 3 seconds until the job finishes (true) or fails (false). Throws for answers
// whose members have the wrong type.
bool poll_batch_upload_job(const std::string& job_id);

}  // namespace rest_client
