#pragma once
// Sending an upload's shards and following their upload jobs.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/job_status.h"
#include "client/request.h"
#include "upload/shard_builder.h"
#include "upload/upload_journal.h"

namespace rest_client {

// A shard the service took: its upload job and the records it holds.
struct AcceptedShard {
  json status_body;  // "user_api_key" and "job_id"
  std::uint64_t first_record = 0, records = 0;
  enum class State { kRunning, kFinished, kFailed } state = State::kRunning;
  std::string message;  // what the finished job said
  std::size_t journal_index = 0;
};

// What an upload sent: the shards the service took, and the one sent whole whose answer never
// came or could not be read, which may be stored.
struct SentShards {
  std::vector<AcceptedShard> accepted;
  struct Unanswered {
    std::size_t journal_index = 0;
    std::uint64_t first_record = 0, records = 0;
  };
  std::optional<Unanswered> unanswered;
};

// How a shard's upload job tells its states.
extern const JobTexts kShardJobTexts;

// After an upload that did not end well: the shards the service accepted, with their jobs and
// record ranges, and the one whose answer was lost, and that their records are, or may be,
// stored. Nothing when none is, or may be, stored.
void report_sent(const SentShards& sent, const std::string& file_path);

// Sends finished shards one at a time and follows their upload jobs, keeping every accepted
// shard in the caller's list and, when there is one, in the upload's journal.
class ShardTransfer {
 public:
  ShardTransfer(Session& session, std::string file_path, std::string dataset, SentShards& sent,
                UploadJournal* journal = nullptr);

  // Sends the shard, which is the journal's shard `journal_index`.
  void send_shard(const ShardBody& shard, std::size_t journal_index = 0);
  UploadJournal* journal() const { return journal_; }
  // The reader has cut the file's last shard.
  void reading_done();
  std::size_t shard_count() const { return jobs_.size(); }
  std::uint64_t records_sent() const;
  // Polls until the last upload job has finished (true) or one failed (false).
  bool final_wait();

 private:
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
  // The shard's request left whole and nothing says what became of it.
  void unanswered(const ShardBody& shard, std::size_t journal_index);

  Session& session_;
  std::string file_path_;
  std::string dataset_;
  SentShards& sent_;
  std::vector<AcceptedShard>& jobs_;
  UploadJournal* journal_;
  bool sending_ = false;  // a shard's request is in flight
  InterruptScope interrupt_scope_{[this] { return describe_interrupt(); }};
};

}  // namespace rest_client
