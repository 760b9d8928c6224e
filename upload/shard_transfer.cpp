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

void append_member(std::string& body, const std::string& key, const std::string& value_text) {
  if (body.size() > 1) body += ',';
  body += json(key).dump();
  body += ':';
  body += value_text;
}

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

ShardTransfer::ShardTransfer(json upload_body, std::string file_path)
    : base_(std::move(upload_body)), file_path_(std::move(file_path)) {
  dataset_ = base_.value("dataset_name", std::string());
  start_shard();
}

void ShardTransfer::start_shard() {
  // Members are written in name order; "checksum" gets a placeholder that is filled in once the
  // "file_data" text is complete, and "file_data" is streamed straight into the body.
  body_.clear();
  body_ += '{';
  for (const auto& [key, value] : base_.items()) {
    if (key < "checksum") append_member(body_, key, value.dump());
  }
  append_member(body_, "checksum", "\"" + std::string(64, '0') + "\"");
  checksum_at_ = body_.size() - 65;
  for (const auto& [key, value] : base_.items()) {
    if (key > "checksum" && key < "file_data") append_member(body_, key, value.dump());
  }
  append_member(body_, "file_data", "\"");
  file_data_at_ = body_.size();
  stream_.begin(&body_);
}

void ShardTransfer::add_data(const char* data, std::size_t size) {
  stream_.write(data, size);
}

void ShardTransfer::hand_off(const std::string* shard_ids) {
  stream_.finish();
  const std::size_t file_data_size = body_.size() - file_data_at_;
  body_ += '"';
  std::string ids_text;
  if (shard_ids != nullptr) {
    const auto packed =
        gzipCompress(std::vector<unsigned char>(shard_ids->begin(), shard_ids->end()), -1);
    ids_text = "\"" + base64_encode(packed.data(), packed.size()) + "\"";
  }
  bool ids_placed = shard_ids == nullptr;
  for (const auto& [key, value] : base_.items()) {
    if (key <= "file_data") continue;
    if (!ids_placed && key > "string_id_txt") {
      append_member(body_, "string_id_txt", ids_text);
      ids_placed = true;
    }
    append_member(body_, key, value.dump());
  }
  if (!ids_placed) append_member(body_, "string_id_txt", ids_text);
  body_ += '}';

  const std::string checksum = sha256_hex(body_.data() + file_data_at_, file_data_size);
  body_.replace(checksum_at_, 64, checksum);
  send_shard();
  start_shard();
}

void ShardTransfer::send_shard() {
  const std::string url = server_base_url + "/upload";
  check_rate_limit();
  print_info("Uploading ...'" + file_path_ + "' to dataset '" + dataset_ + "'");
  const std::string checksum = body_.substr(checksum_at_, 64);
  print_info("file data field checksum: " + checksum);
  const HttpResponse response = http_post_json(url, body_);
  if (response.status != 200) {
    print_error("Upload failed! Status: " + std::to_string(response.status) +
                "\nResponse: " + response.text);
    throw std::runtime_error("Server failed to upload");
  }
  wait_for(std::chrono::milliseconds(400));
  print_info("Uploading... [" + std::to_string(jobs_.size() + 1) + "]");
  const json answer = parse_json(response.text);
  const std::string server_checksum = member_or_null(answer, "checksum_server").get<std::string>();
  std::cout << "Server returns matching checksum: " << server_checksum << std::endl;
  if (server_checksum != checksum) {
    print_warning(" The server's checksum " + server_checksum +
                  " does not match the client's checksum " + checksum);
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
