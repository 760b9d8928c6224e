// UPLOAD: plans the upload from its options, has the columns of a headerless CSV file asked
// for, then sends the file shard by shard and waits for every upload job.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "client/dataset_listing.h"
#include "client/interrupt.h"
#include "client/line_input.h"
#include "client/payload.h"
#include "client/request.h"
#include "client/statement_output.h"
#include "upload/csv_questions.h"
#include "upload/dry_run.h"
#include "upload/file_readers.h"
#include "upload/progress_line.h"
#include "upload/shard_pipeline.h"
#include "upload/shard_transfer.h"
#include "upload/upload_command.h"
#include "upload/upload_plan.h"
#include "upload/upload_resume.h"

namespace rest_client {
namespace {

void show(const std::vector<ReaderMessage>& messages) {
  for (const auto& message : messages) {
    if (message.warning) {
      print_warning(message.text);
    } else {
      std::cerr << message.text << std::endl;
    }
  }
}

// An embedding file's dimension and value type, from its header or first vector; the binary
// options, when given, must say the same.
void take_vector_file_layout(UploadPlan& plan, InputFile& file) {
  const std::string& file_path = file.path();
  const VectorFileLayout layout = read_vector_file_layout(file, plan.vector_file);
  const std::string dtype = layout.sends_floats() ? "float32" : "uint8";
  if (plan.expected_dim && static_cast<std::size_t>(*plan.expected_dim) != layout.dim) {
    throw std::invalid_argument("--binary_dim " + std::to_string(*plan.expected_dim) +
                                " disagrees with '" + file_path + "', whose vectors have " +
                                std::to_string(layout.dim) + " values");
  }
  if (plan.expected_dtype && *plan.expected_dtype != dtype) {
    throw std::invalid_argument("--binary_dtype " + *plan.expected_dtype + " disagrees with '" +
                                file_path + "', whose values are sent as " + dtype);
  }
  plan.body["binary_dim"] = layout.dim;
  plan.body["binary_dtype"] = dtype;
  plan.record_size = static_cast<long long>(layout.sent_record());
  plan.floats = layout.sends_floats();
  plan.vector_layout = layout;
}

std::string absolute(const std::string& path) {
  return path.empty() ? path : std::filesystem::absolute(path).lexically_normal().string();
}

// The journal's name: one upload of a file to a dataset, by one user of one service.
json journal_key(const Session& session, const std::string& project, const UploadPlan& plan,
                 const std::string& file_path) {
  return {{"service", session.endpoints.api},
          {"user", session.identity.user_id},
          {"project", project},
          {"dataset", plan.dataset},
          {"file", absolute(file_path)}};
}

// The members of the body the column questions answer.
constexpr const char* kAskedMembers[] = {"vector_id_field_name", "vector_attributes"};

json asked_members(const json& body, const UploadPlan& plan) {
  json answers = json::object();
  for (const char* name : kAskedMembers) {
    if (body.contains(name) && !plan.body.contains(name)) answers[name] = body.at(name);
  }
  return answers;
}

// The journal of this upload, with its lock held; none (said once) when its directory cannot be
// used. A resume cannot go on without it.
std::optional<UploadJournal> open_journal(const Session& session, const json& key,
                                          const std::string& upload, bool resume) {
  if (session.upload.journal_dir.empty()) {
    if (!resume) return std::nullopt;
    throw std::invalid_argument(
        "No upload journals are kept: neither XDG_STATE_HOME nor HOME names a directory");
  }
  std::optional<UploadJournal> journal;
  try {
    journal.emplace(session.upload.journal_dir, key);
  } catch (const std::runtime_error& e) {
    if (resume) throw std::invalid_argument(std::string(e.what()) + "; nothing can be resumed");
    print_warning(" " + std::string(e.what()) + "; this upload cannot be resumed");
    return std::nullopt;
  }
  journal->lock(upload);
  return journal;
}

// A new upload starts a new journal; one left by an upload that stopped is said, then replaced.
void start_journal(Session& session, UploadJournal& journal, const std::string& project,
                   const std::string& dataset, const std::string& file_path, json identity,
                   json answers) {
  try {
    if (journal.load() && !journal.shards().empty()) {
      print_warning(" An earlier upload of '" + file_path + "' to this dataset stopped with " +
                    std::to_string(journal.stored_shards()) +
                    " shard(s) stored; this upload starts over (--resume goes on from there)");
    }
  } catch (const std::exception&) {
    print_warning(" The journal of an earlier upload of '" + file_path +
                  "' to this dataset could not be read; this upload starts over");
  }
  // What the dataset held before, so that a resume can tell from its count whether a shard
  // whose answer was lost is stored.
  journal.start_over(std::move(identity), std::move(answers),
                     quiet_vector_count(session, project, dataset));
}

ShardPipeline::Reader reader_for(const UploadPlan& plan, const ReaderInput& input) {
  return [input, reader = plan.reader, size = plan.record_size, floats = plan.floats](
             ShardOutput& output) { read_upload_file(output, input, reader, size, floats); };
}

// Runs the upload as a guarded handler; an interrupt's line, the last one said, ends with how to
// go on.
template <class Body>
bool guarded_interruptible(const std::function<std::string()>& go_on, Body&& body) {
  try {
    return guarded("upload", std::forward<Body>(body));
  } catch (Interrupted& interrupted) {
    if (const std::string line = go_on(); !line.empty()) interrupted.what += "; " + line;
    throw;
  }
}

// Shows a display during every wait and transfer of the session while it lives.
class ShownDuringWaits {
 public:
  ShownDuringWaits(Session& session, const ProgressDisplay& display) : session_(session) {
    session_.waits.progress = display;
    session_.network.progress = display;
  }
  ~ShownDuringWaits() {
    session_.waits.progress = {};
    session_.network.progress = {};
  }
  ShownDuringWaits(const ShownDuringWaits&) = delete;
  ShownDuringWaits& operator=(const ShownDuringWaits&) = delete;

 private:
  Session& session_;
};

// Sends the file shard by shard (the next one compressed while the current one is sent) and
// waits for every upload job. The progress line moves while shards are prepared, while they are
// in flight and while their jobs are waited for. The shards the service accepted are kept in
// `accepted`.
bool send_file(Session& session, InputFile& file, const UploadPlan& plan, const json& body,
               SentShards& sent, UploadJournal* journal, const std::optional<ResumePoint>& resume) {
  const std::string& file_path = file.path();
  ShardTransfer transfer(session, file_path, plan.dataset, sent, journal);
  const std::uint64_t size = file.size_at_open();
  const std::uint64_t skipped = resume ? resume->offset : 0;
  ProgressLine progress(size);
  const ShardPipeline* reading = nullptr;
  const auto redraw = [&] {
    progress.draw(reading != nullptr ? std::min(size, skipped + reading->bytes_read()) : size,
                  transfer.shard_count());
  };
  const ShownDuringWaits shown(session, {redraw, [&] { progress.clear(); }});
  std::optional<ShardPipeline::ShortIds> short_ids;
  {
    ReaderInput input = reader_input(file, plan, body);
    input.keep_hash = journal != nullptr;
    // Nothing stored yet: the file is read from its start, as a new upload reads it.
    if (resume && resume->offset > 0) {
      input.resume =
          ResumeFrom{resume->offset, resume->first_record, resume->first_line, resume->hash};
    }
    ShardPipeline pipeline(body, static_cast<std::size_t>(session.upload.shard_size),
                           reader_for(plan, input), skipped);
    reading = &pipeline;
    std::size_t index = resume ? resume->first_shard : 0;
    for (; auto shard = pipeline.next(redraw); ++index) {
      progress.clear();
      show(shard->messages);
      const JournalShard* known =
          transfer.journal() != nullptr && index < transfer.journal()->shards().size()
              ? &transfer.journal()->shards()[index]
              : nullptr;
      if (known != nullptr && known->state == JournalShard::State::kFinished) {
        // Stored before the upload stopped, after a shard that was not.
        if (known->begin != shard->file_begin || known->end != shard->file_end) {
          throw std::runtime_error("Shard " + std::to_string(index + 1) + " of '" + file_path +
                                   "' is not cut where it was; the upload cannot go on");
        }
        print_info("Shard " + std::to_string(index + 1) + " (" + known->record_range() +
                   ") is stored already; it is not sent again");
      } else {
        transfer.send_shard(*shard, index);
      }
      pipeline.recycle(std::move(*shard));
    }
    reading = nullptr;
    progress.clear();
    show(pipeline.take_trailing_messages());
    pipeline.rethrow_failure();
    short_ids = pipeline.short_ids();
    transfer.reading_done();
  }
  if ((!resume || transfer.shard_count() > 0) && !transfer.final_wait()) return false;
  if (short_ids) {
    // Stored, but not as asked.
    print_error(
        "The string ids file '" + plan.ids_path + "' held " + std::to_string(short_ids->ids) +
        " ids; " + std::to_string(short_ids->records_without) + " of the " +
        std::to_string(transfer.records_sent()) + " vectors were stored with default ids instead");
    return false;
  }
  print_success("Successfully uploaded file to dataset");
  return true;
}

}  // namespace

bool handle_upload(Session& session, const std::string& project, const std::string& file_path,
                   Options options) {
  SentShards sent;
  std::optional<UploadJournal> journal;
  bool dry_run = false, sending = false;
  // How to go on, once shards were sent and the journal tells that some are, or may be, stored.
  auto go_on = [&]() -> std::string {
    if (!sending || !journal || !journal->kept() || !journal->holds_something()) return "";
    std::size_t unsure = 0;
    for (const auto& shard : journal->shards()) {
      unsure +=
          shard.state == JournalShard::State::kSending || shard.state == JournalShard::State::kSent;
    }
    return std::to_string(journal->stored_shards()) + " shard(s) of '" + file_path + "' (" +
           std::to_string(journal->stored_records()) + " records) are stored" +
           (unsure > 0 ? " and " + std::to_string(unsure) + " may be" : "") +
           "; to go on, run the same UPLOAD statement with --resume";
  };
  const bool uploaded = guarded_interruptible(go_on, [&] {
    print_info("Uploading with file_path: " + file_path + "...");
    require_regular_file(file_path);
    // Every step reads this one open of the file, and a change since is seen against it.
    InputFile file(file_path);
    if (!file) throw std::invalid_argument("Could not open file " + file_path);
    UploadPlanResult planned = plan_upload(project, std::move(options));
    for (const auto& warning : planned.warnings) print_warning(warning);
    if (!planned.plan) throw std::invalid_argument(planned.error);
    UploadPlan& plan = *planned.plan;
    if (!plan.vector_file.empty()) take_vector_file_layout(plan, file);
    json body = request_body(session);
    body.update(plan.body);
    json options = plan.body;
    options["string_ids_file_path"] = absolute(plan.ids_path);
    const json identity = upload_identity(file, options, plan.ids_path, session.upload.shard_size);
    // Only a headerless CSV file's first line is read here, for its columns. A dry run asks
    // nothing: it says what would be asked, and takes the answers from the options. A resume
    // takes them from the journal.
    if (plan.resume) {
    } else if (plan.ask_columns && plan.dry_run) {
      print_info("The id and attribute columns of '" + file_path + "' would be asked for (1 to " +
                 std::to_string(column_count(file)) +
                 "); this dry run takes them from --vector_id_field_name and --attributes");
    } else if (plan.ask_columns) {
      ask_columns(body, column_count(file));
    }
    if (!plan.ids_path.empty()) require_regular_file(plan.ids_path);
    if (!plan.invalid_arguments.empty()) {
      for (const auto& key : plan.invalid_arguments) print_error("Invalid argument " + key);
      return false;
    }
    if (plan.dry_run) {
      dry_run = true;
      return dry_run_upload(session, file, plan, body);
    }
    // One upload of a file to a dataset at a time: a second one, or a resume, is refused here.
    journal = open_journal(session, journal_key(session, project, plan, file_path),
                           "an upload of '" + file_path + "' to dataset '" + plan.dataset + "'",
                           plan.resume);
    std::optional<ResumePoint> resume;
    if (plan.resume) {
      const Unanswered unanswered = plan.resend_unanswered ? Unanswered::kResend
                                    : plan.skip_unanswered ? Unanswered::kSkip
                                                           : Unanswered::kStop;
      resume = prepare_resume(session, *journal, identity, project, plan.dataset, file, unanswered);
      for (const char* name : kAskedMembers) {
        if (journal->answers().contains(name)) body[name] = journal->answers().at(name);
      }
    } else if (journal) {
      start_journal(session, *journal, project, plan.dataset, file_path, identity,
                    asked_members(body, plan));
    }
    if (resume && resume->done) {
      print_success("Every shard of '" + file_path + "' is stored");
    } else {
      sending = true;
      if (!send_file(session, file, plan, body, sent, journal ? &*journal : nullptr, resume)) {
        return false;
      }
    }
    // The upload succeeded: a journal left behind is only said.
    try {
      if (journal) journal->finished();
    } catch (const std::exception& e) {
      print_warning(" " + std::string(e.what()));
    }
    return true;
  });
  if (dry_run) return uploaded;
  // Whatever ended the upload, the shards the service took are said last, then how to go on.
  if (!uploaded) report_sent(sent, file_path);
  if (const std::string line = uploaded ? "" : go_on(); !line.empty()) print_warning(" " + line);
  std::uint64_t records = 0;
  std::vector<statement_output::UploadJob> jobs;
  for (const auto& shard : sent.accepted) {
    records += shard.records;
    const char* state = shard.state == AcceptedShard::State::kFinished ? "finished"
                        : shard.state == AcceptedShard::State::kFailed ? "failed"
                                                                       : "running";
    jobs.push_back(
        {member_or_null(shard.status_body, "job_id").get<std::string>(), state, shard.message});
  }
  statement_output::upload(session, file_path, records, sent.accepted.size(), jobs);
  return uploaded;
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, Upload& s) {
  return rest_client::handle_upload(session, s.project, s.file_path, std::move(s.options));
}

}  // namespace stmt
