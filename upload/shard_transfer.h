#pragma once
// Sending an upload's shards and following their upload jobs.

#include <string>
#include <vector>

#include "client/request.h"
#include "upload/gzip_base64_stream.h"

namespace rest_client {

// The shard threshold in bytes; set once at start-up from the environment.
extern int SHARD_SIZE;
// Reads SHARD_SIZE from the environment; a text that is not a usable size gives a warning and
// the default of 200 MiB.
void init_shard_size_from_env();

class ShardTransfer {
 public:
  // `upload_body` holds every member but the per-shard ones.
  ShardTransfer(json upload_body, std::string file_path);

  // Bytes of the current shard's data.
  void add_data(const char* data, std::size_t size);
  std::size_t data_size() const { return stream_.raw_size(); }
  // Sends the current shard with its data and, when given, its ids text; then starts the next.
  void hand_off(const std::string* shard_ids);
  std::size_t shard_count() const { return jobs_.size(); }
  // Polls until the last upload job has finished (true) or one failed (false).
  bool final_wait();

 private:
  struct UploadJob {
    json status_body;
    bool finished = false;
  };

  void start_shard();
  void send_shard();
  int poll_upload_job(std::size_t index);

  json base_;
  std::string file_path_;
  std::string dataset_;
  std::string body_;
  std::size_t checksum_at_ = 0;
  std::size_t file_data_at_ = 0;
  GzipBase64Stream stream_;
  std::vector<UploadJob> jobs_;
};

}  // namespace rest_client
