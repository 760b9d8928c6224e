#include "upload/shard_transfer.h"

#include <algorithm>
#include <iostream>

#include "client/job_status.h"
#include "client/rate_limiter.h"

namespace rest_client {

namespace {

constexpr std::chrono::milliseconds kPause(400);

// "records 1-88773, job "job-1-2": stored", as far as its job's end is known.
std::string shard_text(const AcceptedShard& shard) {
  const std::string range = shard.records == 0
                                ? "no records"
                                : "records " + std::to_string(shard.first_record) + "-" +
                                      std::to_string(shard.first_record + shard.records - 1);
  const char* state = shard.state == AcceptedShard::State::kFinished ? ": stored"
                      : shard.state == AcceptedShard::State::kFailed ? ": failed, not stored"
                                                                     : ": may be stored";
  return range + ", job " + service_text(member_or_null(shard.status_body, "job_id").dump()) +
         state;
}

}  // namespace

const JobTexts kShardJobTexts = {
    {JobLine::Kind::kInfo, "Subjob [{index}] is pending"},
    {JobLine::Kind::kInfo, "Subjob [{index}] is in progress"},
    {{JobLine::Kind::kSuccess, "Subjob [{number}] Finished. Returned with message: {message}"}},
    "Server failed to upload"};

void report_accepted(const std::vector<AcceptedShard>& accepted, const std::string& file_path) {
  // Shards whose jobs failed stored nothing: only those that did, or may have, are told.
  if (std::all_of(accepted.begin(), accepted.end(), [](const AcceptedShard& shard) {
        return shard.state == AcceptedShard::State::kFailed;
      })) {
    return;
  }
  print_warning(" The service accepted " + std::to_string(accepted.size()) + " shard(s) of '" +
                file_path + "' before the upload stopped; their records are, or may be, stored:");
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    print_warning("  shard " + std::to_string(i + 1) + ": " + shard_text(accepted[i]));
  }
}

ShardTransfer::ShardTransfer(Session& session, std::string file_path, std::string dataset,
                             std::vector<AcceptedShard>& accepted, UploadJournal* journal)
    : session_(session),
      file_path_(std::move(file_path)),
      dataset_(std::move(dataset)),
      jobs_(accepted),
      journal_(journal) {}

void ShardTransfer::reading_done() {
  if (journal_ == nullptr || journal_->shards.empty()) return;
  journal_->complete = true;
  save_journal();
}

void ShardTransfer::journal_state(std::size_t index, JournalShard::State state,
                                  const std::string& job_id) {
  if (journal_ == nullptr) return;
  journal_->shards.at(index).state = state;
  journal_->shards.at(index).job_id = job_id;
  save_journal();
}

void ShardTransfer::save_journal() {
  try {
    journal_->save();
  } catch (const std::exception& e) {
    // A journal that no longer tells the truth must not be resumed from.
    print_warning(" " + std::string(e.what()) + "; this upload cannot be resumed");
    try {
      journal_->remove();
    } catch (const std::exception&) {
    }
    journal_ = nullptr;
  }
}

std::uint64_t ShardTransfer::records_sent() const {
  std::uint64_t records = 0;
  for (const auto& job : jobs_) records += job.records;
  return records;
}

void ShardTransfer::send_shard(const ShardBody& shard, std::size_t journal_index) {
  check_rate_limit(session_);
  print_info("Uploading ...'" + file_path_ + "' to dataset '" + dataset_ + "'");
  print_info("file data field checksum: " + shard.checksum);
  if (journal_ != nullptr) {
    auto& shards = journal_->shards;
    if (journal_index >= shards.size()) shards.resize(journal_index + 1);
    shards[journal_index] = {shard.file_begin,
                             shard.file_end,
                             shard.first_record,
                             shard.records,
                             JournalShard::State::kSending,
                             ""};
    if (shard.hashed >= journal_->hashed) {
      journal_->hashed = shard.hashed;
      journal_->sha256 = shard.file_sha256;
    }
  }
  journal_state(journal_index, JournalShard::State::kSending);
  sending_ = true;
  const HttpResponse response = post_unlimited_text(session_, "/upload", shard.text);
  sending_ = false;
  if (response.status != 200) {
    journal_state(journal_index, JournalShard::State::kFailed);  // refused: not stored
    print_error("Upload failed! Status: " + std::to_string(response.status) +
                "\nResponse: " + service_text(response.text));
    print_failure_cause(response);
    throw std::runtime_error("Server failed to upload");
  }
  // The job is recorded as soon as the answer is read, so that an interrupt in the pause that
  // follows names it; what the answer lacks is told after the pause, in the usual order.
  std::exception_ptr unreadable, no_job;
  std::string server_checksum;
  try {
    const json answer = parse_json(response.text);
    server_checksum = member_or_null(answer, "checksum_server").get<std::string>();
    try {
      json status_body = request_body(session_);
      const std::string job_id = member_or_null(answer, "job_id").get<std::string>();
      status_body["job_id"] = job_id;
      jobs_.push_back({std::move(status_body), shard.first_record, shard.records,
                       AcceptedShard::State::kRunning, "", journal_index});
      journal_state(journal_index, JournalShard::State::kSent, job_id);
    } catch (const std::exception&) {
      no_job = std::current_exception();
    }
  } catch (const std::exception&) {
    unreadable = std::current_exception();
  }
  session_.waits.wait_for(kPause);
  print_info("Uploading... [" + std::to_string(jobs_.size() + (no_job || unreadable ? 1 : 0)) +
             "]");
  if (unreadable) std::rethrow_exception(unreadable);
  std::cout << "Server returns matching checksum: " << printable(service_text(server_checksum))
            << std::endl;
  if (server_checksum != shard.checksum) {
    print_warning(" The server's checksum " + service_text(server_checksum) +
                  " does not match the client's checksum " + shard.checksum);
  }
  if (no_job) std::rethrow_exception(no_job);

  const Round round = poll_round(true);
  if (round.failed) throw std::runtime_error("Server failed to upload");
  print_success("Uploaded [" + std::to_string(round.stopped_at + 1) + "] data shards");
}

std::string ShardTransfer::describe_interrupt() const {
  std::string text = "the upload of '" + file_path_ + "' after " + std::to_string(jobs_.size()) +
                     " shard(s) were accepted";
  std::string shards, running;
  for (const auto& job : jobs_) {
    shards += (shards.empty() ? "" : "; ") + shard_text(job);
    if (job.state != AcceptedShard::State::kRunning) continue;
    running += running.empty() ? "" : ", ";
    running += service_text(member_or_null(job.status_body, "job_id").dump());
  }
  if (!shards.empty()) text += " (" + shards + ")";
  if (!running.empty()) text += "; the service may still finish jobs " + running;
  if (sending_) text += "; the shard being sent may or may not have been stored";
  return text;
}

int ShardTransfer::poll_upload_job(std::size_t index) {
  const auto report =
      fetch_job_report(session_, "/get_upload_data_status", jobs_[index].status_body);
  if (!report) return -1;
  const auto decided = tell_job(*report, kShardJobTexts, index);
  if (!decided) return 0;
  if (report->state == JobState::kFailed) jobs_[index].state = AcceptedShard::State::kFailed;
  if (*decided) jobs_[index].message = report->message();
  // Known stored from here on, although the pause after the poll comes first.
  if (*decided) jobs_[index].state = AcceptedShard::State::kFinished;
  const std::string job_id = member_or_null(jobs_[index].status_body, "job_id").get<std::string>();
  journal_state(jobs_[index].journal_index,
                *decided ? JournalShard::State::kFinished : JournalShard::State::kFailed, job_id);
  return *decided ? 1 : -1;
}

ShardTransfer::Round ShardTransfer::poll_round(bool pause_after_every_poll) {
  std::size_t index = 0;
  for (; index < jobs_.size(); ++index) {
    if (jobs_[index].state == AcceptedShard::State::kFinished) continue;
    const int result = poll_upload_job(index);
    if (pause_after_every_poll) session_.waits.wait_for(kPause);
    if (result < 0) return {index, true};
    if (result == 0) break;
    if (!pause_after_every_poll) session_.waits.wait_for(kPause);
    jobs_[index].state = AcceptedShard::State::kFinished;
  }
  return {index, false};
}

bool ShardTransfer::final_wait() {
  if (jobs_.empty()) throw std::runtime_error("'" + file_path_ + "' holds no vectors");
  while (jobs_.back().state != AcceptedShard::State::kFinished) {
    const Round round = poll_round(false);
    if (round.failed) return false;
    print_success("Uploaded [" + std::to_string(round.stopped_at) + "/" +
                  std::to_string(jobs_.size()) + "]");
    session_.waits.wait_for(std::chrono::seconds(1));
  }
  return true;
}

}  // namespace rest_client
