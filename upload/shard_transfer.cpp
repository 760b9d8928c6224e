#include "upload/shard_transfer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "client/client_state.h"
#include "client/payload.h"
#include "client/rate_limiter.h"
#include "client/waits.h"

namespace rest_client {

namespace {

constexpr int kDefaultShardSize = 209715200;  // 200 MiB

}  // namespace

int SHARD_SIZE = kDefaultShardSize;

void init_shard_size_from_env() {
  const char* text = std::getenv("SHARD_SIZE");
  if (text == nullptr) return;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < 0 || value > INT_MAX) {
    print_warning(" SHARD_SIZE=\"" + std::string(text) +
                  "\" is not a shard size in bytes; using the default " +
                  std::to_string(kDefaultShardSize));
    return;
  }
  SHARD_SIZE = static_cast<int>(value);
}

ShardTransfer::ShardTransfer(std::string file_path, std::string dataset)
    : file_path_(std::move(file_path)), dataset_(std::move(dataset)) {}

void ShardTransfer::send_shard(const ShardBody& shard) {
  const std::string url = server_base_url + "/upload";
  check_rate_limit();
  print_info("Uploading ...'" + file_path_ + "' to dataset '" + dataset_ + "'");
  print_info("file data field checksum: " + shard.checksum);
  sending_ = true;
  const HttpResponse response = http_post_json(url, shard.text);
  sending_ = false;
  if (response.status != 200) {
    print_error("Upload failed! Status: " + std::to_string(response.status) +
                "\nResponse: " + response.text);
    print_failure_cause(response);
    throw std::runtime_error("Server failed to upload");
  }
  wait_for(std::chrono::milliseconds(400));
  print_info("Uploading... [" + std::to_string(jobs_.size() + 1) + "]");
  const json answer = parse_json(response.text);
  const std::string server_checksum = member_or_null(answer, "checksum_server").get<std::string>();
  std::cout << "Server returns matching checksum: " << server_checksum << std::endl;
  if (server_checksum != shard.checksum) {
    print_warning(" The server's checksum " + server_checksum +
                  " does not match the client's checksum " + shard.checksum);
  }
  json status_body = request_body();
  status_body["job_id"] = member_or_null(answer, "job_id").get<std::string>();
  jobs_.push_back({std::move(status_body), false});

  std::size_t index = 0;
  for (; index < jobs_.size(); ++index) {
    if (jobs_[index].finished) continue;
    const int result = poll_upload_job(index);
    wait_for(std::chrono::milliseconds(400));
    if (result == 0) break;
    if (result < 0) throw std::runtime_error("Server failed to upload");
    jobs_[index].finished = true;
  }
  print_success("Uploaded [" + std::to_string(index + 1) + "] data shards");
}

std::string ShardTransfer::describe_interrupt() const {
  std::string text = "the upload of '" + file_path_ + "' after " + std::to_string(jobs_.size()) +
                     " shard(s) were accepted";
  std::string running;
  for (const auto& job : jobs_) {
    if (job.finished) continue;
    running += running.empty() ? "" : ", ";
    running += member_or_null(job.status_body, "job_id").dump();
  }
  if (!running.empty()) text += "; the service may still finish jobs " + running;
  if (sending_) text += "; the shard being sent may or may not have been stored";
  return text;
}

int ShardTransfer::poll_upload_job(std::size_t index) {
  const auto fetched = fetch_job_status("/get_upload_data_status", jobs_[index].status_body);
  if (!fetched) return -1;
  const json& answer = *fetched;
  const std::string status = answer.at("status").get<std::string>();
  if (status == "pending") {
    print_info("Subjob [" + std::to_string(index) + "] is pending");
    return 0;
  }
  if (status == "in_progress") {
    print_info("Subjob [" + std::to_string(index) + "] is in progress");
    return 0;
  }
  if (status == "finished") {
    print_success("Subjob [" + std::to_string(index + 1) + "] Finished. Returned with message: " +
                  member_or_null(answer, "error_message").get<std::string>());
    return 1;
  }
  if (status == "failed") {
    if (answer.contains("error")) {
      print_error("Server failed to upload: " + answer.at("error").get<std::string>());
    } else {
      print_error("Server failed to upload");
    }
    return -1;
  }
  print_error("Server returned unknown status");
  return -1;
}

bool ShardTransfer::final_wait() {
  if (jobs_.empty()) throw std::runtime_error("The data file holds no records: " + file_path_);
  while (!jobs_.back().finished) {
    std::size_t index = 0;
    for (; index < jobs_.size(); ++index) {
      if (jobs_[index].finished) continue;
      const int result = poll_upload_job(index);
      if (result < 0) return false;
      if (result == 0) break;
      wait_for(std::chrono::milliseconds(400));
      jobs_[index].finished = true;
    }
    print_success("Uploaded [" + std::to_string(index) + "/" + std::to_string(jobs_.size()) + "]");
    wait_for(std::chrono::seconds(1));
  }
  return true;
}

}  // namespace rest_client
