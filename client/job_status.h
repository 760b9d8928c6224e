#pragma once
// The service's job protocol: a status request of a running job (attach index, dense batch,
// upload shard) and the reading of its answer into a typed report. Callers bring their texts.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client/session.h"

namespace rest_client {

enum class JobState { kPending, kInProgress, kFinished, kFailed, kUnknown };

struct JobReport {
  JobState state = JobState::kUnknown;
  nlohmann::json answer;  // an object holding "success" and "status"

  // "<prefix>: <error>" for a failed job that says why, else the prefix. Throws when "error" is
  // not a string.
  std::string failure(const std::string& prefix) const;
  // A finished job's "error_message" text; throws when it is missing or not a string.
  std::string message() const;
  // The "status" text as the service gave it.
  std::string status() const;
};

// One status request (no rate limiter), retried with warnings while it fails in passing (no
// answer, 429, 502, 503, 504). A status other than 200, or an answer that is not an object
// holding "success" and "status", prints its failure line and gives nullopt. Throws when
// "status" is not a string.
std::optional<JobReport> fetch_job_report(Session& session, const std::string& path,
                                          const nlohmann::json& status_body);

// Polls until `on_report` decides (true or false), pausing `interval` between polls. A failed
// request ends it with false. Ctrl-C says which job was being waited for.
bool follow_job(Session& session, const std::string& path, const nlohmann::json& status_body,
                std::chrono::milliseconds interval,
                const std::function<std::optional<bool>(const JobReport&)>& on_report);

// How a kind of job tells its states: the kind of line and its text for each, with "{index}",
// "{number}" (the index from 1) and "{message}" (a finished job's message) filled in.
struct JobLine {
  enum class Kind { kInfo, kSuccess, kError } kind;
  const char* text;
};
struct JobTexts {
  JobLine pending, in_progress;
  std::vector<JobLine> finished;
  const char* failed;  // the failure line; ": " and the job's "error" follow when it gives one
};

// Prints the report's lines from the table: nullopt while the job runs, true once it finished,
// false when it failed or its state is unknown. Throws when a member it reads is missing or not
// a string.
std::optional<bool> tell_job(const JobReport& report, const JobTexts& texts, std::size_t index = 0);

// What an interrupted wait for a server job says: the job's id, and that it may still finish.
std::string job_interrupted(const nlohmann::json& status_body);

}  // namespace rest_client
