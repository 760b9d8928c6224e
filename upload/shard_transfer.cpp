#include "upload/shard_transfer.h"

#include <iostream>

#include "client/job_status.h"
#include "client/rate_limiter.h"

namespace rest_client {

namespace {

constexpr std::chrono::milliseconds kPause(400);

}  // namespace

ShardTransfer::ShardTransfer(Session& session, std::string file_path, std::string dataset)
    : session_(session), file_path_(std::move(file_path)), dataset_(std::move(dataset)) {}

void ShardTransfer::send_shard(const ShardBody& shard) {
  check_rate_limit(session_);
  print_info("Uploading ...'" + file_path_ + "' to dataset '" + dataset_ + "'");
  print_info("file data field checksum: " + shard.checksum);
  sending_ = true;
  const HttpResponse response = send_text(session_, "/upload", shard.text);
  sending_ = false;
  if (response.status != 200) {
    print_error("Upload failed! Status: " + std::to_string(response.status) +
                "\nResponse: " + response.text);
    print_failure_cause(response);
    throw std::runtime_error("Server failed to upload");
  }
  session_.waits.wait_for(kPause);
  print_info("Uploading... [" + std::to_string(jobs_.size() + 1) + "]");
  const json answer = parse_json(response.text);
  const std::string server_checksum = member_or_null(answer, "checksum_server").get<std::string>();
  std::cout << "Server returns matching checksum: " << server_checksum << std::endl;
  if (server_checksum != shard.checksum) {
    print_warning(" The server's checksum " + server_checksum +
                  " does not match the client's checksum " + shard.checksum);
  }
  json status_body = request_body(session_);
  status_body["job_id"] = member_or_null(answer, "job_id").get<std::string>();
  jobs_.push_back({std::move(status_body), false});

  const Round round = poll_round(true);
  if (round.failed) throw std::runtime_error("Server failed to upload");
  print_success("Uploaded [" + std::to_string(round.stopped_at + 1) + "] data shards");
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
  const auto report =
      fetch_job_report(session_, "/get_upload_data_status", jobs_[index].status_body);
  if (!report) return -1;
  switch (report->state) {
    case JobState::kPending:
      print_info("Subjob [" + std::to_string(index) + "] is pending");
      return 0;
    case JobState::kInProgress:
      print_info("Subjob [" + std::to_string(index) + "] is in progress");
      return 0;
    case JobState::kFinished:
      print_success("Subjob [" + std::to_string(index + 1) +
                    "] Finished. Returned with message: " + report->message());
      return 1;
    case JobState::kFailed:
      print_error(report->failure("Server failed to upload"));
      return -1;
    case JobState::kUnknown:
      break;
  }
  print_error("Server returned unknown status");
  return -1;
}

ShardTransfer::Round ShardTransfer::poll_round(bool pause_after_every_poll) {
  std::size_t index = 0;
  for (; index < jobs_.size(); ++index) {
    if (jobs_[index].finished) continue;
    const int result = poll_upload_job(index);
    if (pause_after_every_poll) session_.waits.wait_for(kPause);
    if (result < 0) return {index, true};
    if (result == 0) break;
    if (!pause_after_every_poll) session_.waits.wait_for(kPause);
    jobs_[index].finished = true;
  }
  return {index, false};
}

bool ShardTransfer::final_wait() {
  if (jobs_.empty()) throw std::runtime_error("The data file holds no records: " + file_path_);
  while (!jobs_.back().finished) {
    const Round round = poll_round(false);
    if (round.failed) return false;
    print_success("Uploaded [" + std::to_string(round.stopped_at) + "/" +
                  std::to_string(jobs_.size()) + "]");
    session_.waits.wait_for(std::chrono::seconds(1));
  }
  return true;
}

}  // namespace rest_client
