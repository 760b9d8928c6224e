#include "upload/shard_transfer.h"

#include <algorithm>
#include <iostream>

#include "client/job_status.h"
#include "client/rate_limiter.h"
#include "client/retry_policy.h"

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

void report_sent(const SentShards& sent, const std::string& file_path) {
  const auto& accepted = sent.accepted;
  // Shards whose jobs failed stored nothing: only those that did, or may have, are told.
  const bool any_stored = std::any_of(
      accepted.begin(), accepted.end(),
      [](const AcceptedShard& shard) { return shard.state != AcceptedShard::State::kFailed; });
  if (any_stored) {
    print_warning(" The service accepted " + std::to_string(accepted.size()) + " shard(s) of '" +
                  file_path + "' before the upload stopped; their records are, or may be, stored:");
    for (const auto& shard : accepted) {
      print_warning("  shard " + std::to_string(shard.journal_index + 1) + ": " +
                    shard_text(shard));
    }
  }
  if (const auto& lost = sent.unanswered) {
    const JournalShard range{0, 0, lost->first_record, lost->records, {}, {}};
    print_warning(" Shard " + std::to_string(lost->journal_index + 1) + " of '" + file_path +
                  "' (" + range.record_range() +
                  ") was sent whole and its answer never came, or could not be read: its records "
                  "may be stored");
  }
}

ShardTransfer::ShardTransfer(Session& session, std::string file_path, std::string dataset,
                             SentShards& sent, UploadJournal* journal)
    : session_(session),
      file_path_(std::move(file_path)),
      dataset_(std::move(dataset)),
      sent_(sent),
      jobs_(sent.accepted),
      journal_(journal) {}

void ShardTransfer::reading_done() {
  if (journal_ != nullptr) journal_->read_to_end();
}

void ShardTransfer::unanswered(const ShardBody& shard, std::size_t journal_index) {
  // The journal already says so: a shard is written as being sent before its request.
  sent_.unanswered = SentShards::Unanswered{journal_index, shard.first_record, shard.records};
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
    journal_->sending(journal_index,
                      {shard.file_begin, shard.file_end, shard.first_record, shard.records, {}, {}},
                      shard.hashed, shard.file_sha256);
  }
  sending_ = true;
  const HttpResponse response = post_unlimited_text(session_, "/upload", shard.text);
  sending_ = false;
  const Delivery delivery = outcome_of(response).delivery;
  if (delivery != Delivery::kAnswered) {
    // Only a refusal says the shard is not stored; otherwise it may be.
    if (delivery == Delivery::kRefused && journal_ != nullptr) journal_->not_stored(journal_index);
    if (delivery == Delivery::kUnknown) unanswered(shard, journal_index);
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
      if (journal_ != nullptr) journal_->sent(journal_index, job_id);
    } catch (const std::exception&) {
      no_job = std::current_exception();
    }
  } catch (const std::exception&) {
    unreadable = std::current_exception();
  }
  // Taken, by all the service said, but with no job to follow: as good as unanswered.
  if (unreadable || no_job) unanswered(shard, journal_index);
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
  if (journal_ != nullptr && *decided) journal_->stored(jobs_[index].journal_index);
  // A job said to have failed stored nothing; one in a state no one knows stays to be followed.
  if (journal_ != nullptr && report->state == JobState::kFailed) {
    journal_->not_stored(jobs_[index].journal_index);
  }
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
