#pragma once
// Sending an upload's shards and following their upload jobs.

#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/request.h"
#include "upload/shard_builder.h"

namespace rest_client {

// Sends finished shards one at a time and follows their upload jobs.
class ShardTransfer {
 public:
  ShardTransfer(Session& session, std::string file_path, std::string dataset);

  void send_shard(const ShardBody& shard);
  std::size_t shard_count() const { return jobs_.size(); }
  // Polls until the last upload job has finished (true) or one failed (false).
  bool final_wait();

 private:
  struct UploadJob {
    json status_body;
    bool finished = false;
  };
  struct Round {
    std::size_t stopped_at;  // the first job still running, or the count of jobs
    bool failed;
  };

  // 1 finished, 0 still running, -1 failed (its line printed).
  int poll_upload_job(std::size_t index);
  // Polls the unfinished jobs in order, marking finished ones, until one is still running or
  // has failed. `pause_after_every_poll`: the pause follows every poll, not only a finished one.
  Round poll_round(bool pause_after_every_poll);
  // What an interrupt stopped: the shards the service accepted and its jobs still running.
  std::string describe_interrupt() const;

  Session& session_;
  std::string file_path_;
  std::string dataset_;
  std::vector<UploadJob> jobs_;
  bool sending_ = false;  // a shard's request is in flight
  InterruptScope interrupt_scope_{[this] { return describe_interrupt(); }};
};

}  // namespace rest_client
