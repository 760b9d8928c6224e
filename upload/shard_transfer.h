#pragma once
// Sending an upload's shards and following their upload jobs.

#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/request.h"
#include "upload/shard_builder.h"

namespace rest_client {

// The shard threshold in bytes; set once at start-up from the environment.
extern int SHARD_SIZE;
// Reads SHARD_SIZE from the environment; a text that is not a usable size gives a warning and
// the default of 200 MiB.
void init_shard_size_from_env();

// Sends finished shards one at a time and follows their upload jobs.
class ShardTransfer {
 public:
  ShardTransfer(std::string file_path, std::string dataset);

  void send_shard(const ShardBody& shard);
  std::size_t shard_count() const { return jobs_.size(); }
  // Polls until the last upload job has finished (true) or one failed (false).
  bool final_wait();

 private:
  struct UploadJob {
    json status_body;
    bool finished = false;
  };

  int poll_upload_job(std::size_t index);
  // What an interrupt stopped: the shards the service accepted and its jobs still running.
  std::string describe_interrupt() const;

  std::string file_path_;
  std::string dataset_;
  std::vector<UploadJob> jobs_;
  bool sending_ = false;  // a shard's request is in flight
  InterruptScope interrupt_scope_{[this] { return describe_interrupt(); }};
};

}  // namespace rest_client
