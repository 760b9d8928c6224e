#include "commands/upload_job.h"

#include "client/interrupt.h"
#include "client/request.h"
#include "client/waits.h"

namespace rest_client {

bool poll_batch_upload_job(const std::string& job_id) {
  json status_body = request_body();
  status_body["job_id"] = job_id;
  const InterruptScope scope([&] { return job_interrupted(status_body); });
  for (;;) {
    const auto fetched = fetch_job_status("/get_upload_data_status", status_body);
    if (!fetched) return false;
    const json& answer = *fetched;
    const std::string status = answer.at("status").get<std::string>();
    if (status == "pending") {
      print_info("Upload is pending");
    } else if (status == "in_progress") {
      print_info("Upload is in progress");
    } else if (status == "finished") {
      print_success("Upload Finished.");
      print_success(member_or_null(answer, "error_message").get<std::string>());
      return true;
    } else if (status == "failed") {
      if (answer.contains("error")) {
        print_error("Server failed to upload: " + answer.at("error").get<std::string>());
      } else {
        print_error("Server failed to upload");
      }
      return false;
    } else {
      print_error("Server returned unknown status");
      return false;
    }
    wait_for(std::chrono::seconds(3));
  }
}

}  // namespace rest_client
