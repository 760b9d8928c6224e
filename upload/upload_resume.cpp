#include "upload/upload_resume.h"

#include <sys/stat.h>

#include <algorithm>

#include <vector>

#include "client/console.h"
#include "client/dataset_listing.h"
#include "client/interrupt.h"
#include "client/job_status.h"
#include "client/request.h"
#include "upload/shard_transfer.h"

namespace rest_client {
namespace {

using json = nlohmann::json;

json file_stamp(const struct stat& info) {
  return {{"size", static_cast<std::uint64_t>(info.st_size)},
          {"mtime_ns", static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                           static_cast<std::uint64_t>(info.st_mtim.tv_nsec)}};
}

// Hashes the file's first `length` bytes; the states at each of `marks` (ascending) are kept,
// with the number of the line each mark begins.
std::string hash_prefix(InputFile& file, std::uint64_t length,
                        const std::vector<std::uint64_t>& marks, std::vector<RunningHash>& kept,
                        std::vector<std::uint64_t>& lines) {
  file.start_at(0);
  const std::string& path = file.path();
  std::vector<char> block(4 << 20);
  std::size_t next_mark = 0;
  std::uint64_t line = 1;
  auto keep = [&] {
    while (next_mark < marks.size() && marks[next_mark] == file.position()) {
      kept.push_back(file.hash().clone());
      lines.push_back(line);
      ++next_mark;
    }
  };
  keep();
  while (file.position() < length) {
    if (interrupt_requested()) {
      throw_if_interrupted("the check of the part of '" + path + "' already sent");
    }
    std::uint64_t piece = std::min<std::uint64_t>(block.size(), length - file.position());
    if (next_mark < marks.size()) piece = std::min(piece, marks[next_mark] - file.position());
    if (file.read(block.data(), static_cast<std::size_t>(piece)) != piece) break;
    line += static_cast<std::uint64_t>(std::count(block.data(), block.data() + piece, '\n'));
    keep();
  }
  if (file.position() != length) return "";
  return file.hash().hex();
}

const char* const kShardState[] = {"sent, unanswered", "sent", "stored", "not stored"};

// Waits for the jobs the stopped upload left running; each ends stored or not.
void settle_jobs(Session& session, UploadJournal& journal) {
  for (std::size_t i = 0; i < journal.shards().size(); ++i) {
    const JournalShard& shard = journal.shards()[i];
    if (shard.state != JournalShard::State::kSent) continue;
    json status_body = request_body(session);
    status_body["job_id"] = shard.job_id;
    bool job_failed = false;
    const bool finished = follow_job(session, "/get_upload_data_status", status_body,
                                     std::chrono::seconds(1), [&](const JobReport& report) {
                                       const auto decided = tell_job(report, kShardJobTexts, i);
                                       job_failed = report.state == JobState::kFailed;
                                       return decided;
                                     });
    if (!finished && !job_failed) {
      throw std::invalid_argument("The state of shard " + std::to_string(i + 1) + "'s job " +
                                  service_text(shard.job_id) + " could not be learnt");
    }
    if (finished) {
      journal.stored(i);
    } else {
      journal.not_stored(i);
    }
  }
}

// The dataset's vector count; a dataset that is gone cannot be resumed into.
std::uint64_t vectors_in(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& upload) {
  const auto listed = listed_datasets(session, project, dataset);
  if (listed.empty()) {
    throw std::invalid_argument("Dataset '" + dataset + "' of project '" + project +
                                "' was not found; " + upload + " cannot be resumed");
  }
  return static_cast<std::uint64_t>(extractFirstElement(listed.front().value("dimension", "")));
}

// Settles the shards whose request went out and whose answer never came: by the count when it
// tells, else as the user said; says what was decided and why. Throws std::invalid_argument when
// it is the user's to decide.
void decide_unanswered(UploadJournal& journal, std::uint64_t count, Unanswered unanswered,
                       const std::string& file_path) {
  std::vector<std::size_t> lost;
  std::uint64_t lost_records = 0;
  std::string shards;
  for (std::size_t i = 0; i < journal.shards().size(); ++i) {
    const JournalShard& shard = journal.shards()[i];
    if (shard.state != JournalShard::State::kSending) continue;
    lost.push_back(i);
    lost_records += shard.records;
    shards += (shards.empty() ? "shard " : ", shard ") + std::to_string(i + 1) + " (" +
              shard.record_range() + ")";
  }
  if (lost.empty()) {
    print_info("Resume: no shard's answer was lost; the journal tells what is stored");
    return;
  }
  const std::uint64_t stored = journal.stored_records();
  // The count tells only with what the dataset held before this upload known.
  const auto before = journal.vectors_before();
  const std::string held = "dataset holds " + std::to_string(count) + " vectors";
  const std::string known =
      before ? std::to_string(*before) + " before this upload and " + std::to_string(stored) +
                   " it stored"
             : std::to_string(stored) + " stored by this upload (what it held before is unknown)";
  if (before && count == *before + stored + lost_records) {
    for (const auto index : lost) journal.stored(index);
    print_info("Resume: " + shards + " taken as stored: the " + held + ", the " + known +
               " plus its " + std::to_string(lost_records) + " records");
    return;
  }
  if (unanswered != Unanswered::kStop) {
    const bool resend = unanswered == Unanswered::kResend;
    for (const auto index : lost) {
      if (resend) {
        journal.not_stored(index);
      } else {
        journal.stored(index);
      }
    }
    print_info("Resume: " + shards + (resend ? " sent again" : " taken as stored") + ", as --" +
               (resend ? "resend" : "skip") + "-unanswered asks (the " + held + "; " + known + ")");
    return;
  }
  std::string advice;
  if (before && count == *before + stored) {
    advice =
        " Once no job of yours is pending, resume with --resend-unanswered if the count is "
        "still " +
        std::to_string(count) + "; when it reaches " + std::to_string(count + lost_records) +
        ", --resume alone takes it as stored";
  } else {
    advice =
        " The count does not tell: resume with --resend-unanswered to send it again, or "
        "with --skip-unanswered to take it as stored";
  }
  throw std::invalid_argument(
      "The request of " + shards + " of '" + file_path +
      "' went out and its answer never came: it may or may not be stored, and its job may still "
      "be pending on the service. The " +
      held + "; " + known + ". Nothing was sent." + advice);
}

}  // namespace

json upload_identity(const InputFile& file, const json& options, const std::string& ids_path,
                     int shard_size) {
  json identity = {
      {"file", file_stamp(file.stat_at_open())}, {"options", options}, {"shard_size", shard_size}};
  struct stat ids {};
  if (!ids_path.empty()) {
    identity["string_ids_file"] =
        ::stat(ids_path.c_str(), &ids) == 0 ? file_stamp(ids) : json(nullptr);
  }
  return identity;
}

ResumePoint prepare_resume(Session& session, UploadJournal& journal, const json& identity,
                           const std::string& project, const std::string& dataset, InputFile& file,
                           Unanswered unanswered) {
  const std::string& file_path = file.path();
  const std::string upload = "the upload of '" + file_path + "' to dataset '" + dataset + "'";
  if (!journal.load() || journal.shards().empty()) {
    throw std::invalid_argument("There is no journal of " + upload + " to resume");
  }
  const json& was = journal.identity();
  if (was.value("file", json()) != identity.at("file")) {
    throw std::invalid_argument("'" + file_path + "' has another size or time than when " + upload +
                                " stopped; it cannot be resumed");
  }
  if (was.value("string_ids_file", json()) != identity.value("string_ids_file", json())) {
    throw std::invalid_argument("The string ids file has another size or time than when " + upload +
                                " stopped; it cannot be resumed");
  }
  if (was.value("options", json()) != identity.at("options")) {
    throw std::invalid_argument("The options are not those of " + upload +
                                "; resume it with the same options");
  }
  if (was.value("shard_size", json()) != identity.at("shard_size")) {
    throw std::invalid_argument("SHARD_SIZE is " + identity.at("shard_size").dump() + "; " +
                                upload + " used " + was.value("shard_size", json()).dump());
  }
  const auto& shards = journal.shards();
  // The part already sent must be what was read then: hashed once, with the states at the
  // shards' beginnings kept for the reader that goes on.
  std::vector<std::uint64_t> marks;
  for (const auto& shard : shards) {
    if (marks.empty() || marks.back() != shard.begin) marks.push_back(shard.begin);
  }
  if (marks.back() != shards.back().end) marks.push_back(shards.back().end);
  std::vector<RunningHash> kept;
  std::vector<std::uint64_t> lines;
  if (hash_prefix(file, journal.hashed(), marks, kept, lines) != journal.sha256() ||
      kept.size() != marks.size()) {
    throw std::invalid_argument("The first " + std::to_string(journal.hashed()) + " bytes of '" +
                                file_path + "' are not those " + upload +
                                " read; it cannot be resumed");
  }
  // The jobs left in flight end first: only then does the journal say what is stored, and only
  // then can the dataset's count be held against it.
  settle_jobs(session, journal);
  const std::uint64_t count = vectors_in(session, project, dataset, upload);
  if (count < journal.stored_records()) {
    throw std::invalid_argument("Dataset '" + dataset + "' holds " + std::to_string(count) +
                                " vectors, fewer than the " +
                                std::to_string(journal.stored_records()) + " " + upload +
                                " stored; it was dropped or emptied since");
  }
  decide_unanswered(journal, count, unanswered, file_path);

  ResumePoint point;
  std::size_t first = 0;
  while (first < shards.size() && shards[first].state == JournalShard::State::kFinished) ++first;
  point.first_shard = first;
  if (first < shards.size()) {
    point.offset = shards[first].begin;
    point.first_record = shards[first].first_record;
  } else {
    point.offset = shards.back().end;
    point.first_record = shards.back().first_record + shards.back().records;
  }
  const auto mark = std::find(marks.begin(), marks.end(), point.offset);
  point.hash = std::make_shared<const RunningHash>(std::move(kept.at(mark - marks.begin())));
  point.first_line = lines.at(mark - marks.begin());
  point.done = first == shards.size() && journal.complete();
  std::string states;
  for (std::size_t i = first; i < shards.size(); ++i) {
    states +=
        "; shard " + std::to_string(i + 1) + " " + kShardState[static_cast<int>(shards[i].state)];
  }
  print_info("Resuming " + upload + ": " + std::to_string(first) + " shard(s) (" +
             std::to_string(point.first_record - 1) + " records, " + std::to_string(point.offset) +
             " bytes) are stored and skipped" + states);
  return point;
}

}  // namespace rest_client
