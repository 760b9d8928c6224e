#include "client/job_status.h"

#include <cstdio>

#include "client/interrupt.h"
#include "client/request.h"
#include "client/retry_policy.h"

namespace rest_client {
namespace {

JobState state_of(const std::string& status) {
  if (status == "pending") return JobState::kPending;
  if (status == "in_progress") return JobState::kInProgress;
  if (status == "finished") return JobState::kFinished;
  if (status == "failed") return JobState::kFailed;
  return JobState::kUnknown;
}

}  // namespace

std::string JobReport::failure(const std::string& prefix) const {
  if (!answer.contains("error")) return prefix;
  return prefix + ": " + service_text(answer.at("error").get<std::string>());
}

std::string JobReport::status() const {
  return answer.at("status").get<std::string>();
}

std::string JobReport::message() const {
  return service_text(member_or_null(answer, "error_message").get<std::string>());
}

std::optional<JobReport> fetch_job_report(Session& session, const std::string& path,
                                          const json& status_body) {
  HttpResponse response = post_unlimited(session, path, status_body);
  // A status request changes nothing, so a failure that may pass is tried again.
  for (int retry = 1; retry <= kStatusRetries && outcome_of(response).passing; ++retry) {
    const auto delay = retry_delay(retry, response.retry_after);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(delay.count()) / 1000);
    const std::string failure = response.status == 0
                                    ? "got no answer"
                                    : "was answered with status " + std::to_string(response.status);
    print_warning(" Job status request " + failure + "; retry " + std::to_string(retry) + " of " +
                  std::to_string(kStatusRetries) + " in " + seconds + " s");
    session.waits.wait_for(delay);
    response = post_unlimited(session, path, status_body);
  }
  if (response.status != 200) {
    print_error("Server error: returned status " + std::to_string(response.status) + " due to " +
                service_text(response.text));
    print_failure_cause(response);
    return std::nullopt;
  }
  json answer = parse_json(response.text);
  if (!answer.is_object() || !answer.contains("success") || !answer.contains("status")) {
    print_error("Server returned invalid response");
    return std::nullopt;
  }
  const JobState state = state_of(answer.at("status").get<std::string>());
  return JobReport{state, std::move(answer)};
}

bool follow_job(Session& session, const std::string& path, const json& status_body,
                std::chrono::milliseconds interval,
                const std::function<std::optional<bool>(const JobReport&)>& on_report) {
  const InterruptScope scope([&] { return job_interrupted(status_body); });
  for (;;) {
    const auto report = fetch_job_report(session, path, status_body);
    if (!report) return false;
    if (const auto decided = on_report(*report)) return *decided;
    session.waits.wait_for(interval);
  }
}

namespace {

// The line's text with its fields filled in.
std::string filled(const char* text, const JobReport& report, std::size_t index) {
  std::string out = text;
  const std::pair<const char*, std::function<std::string()>> fields[] = {
      {"{index}", [&] { return std::to_string(index); }},
      {"{number}", [&] { return std::to_string(index + 1); }},
      {"{message}", [&] { return report.message(); }},
  };
  for (const auto& [name, value] : fields) {
    if (const auto at = out.find(name); at != std::string::npos) {
      out.replace(at, std::string_view(name).size(), value());
    }
  }
  return out;
}

void print_line(const JobLine& line, const std::string& text) {
  switch (line.kind) {
    case JobLine::Kind::kInfo:
      print_info(text);
      break;
    case JobLine::Kind::kSuccess:
      print_success(text);
      break;
    case JobLine::Kind::kError:
      print_error(text);
      break;
  }
}

}  // namespace

std::optional<bool> tell_job(const JobReport& report, const JobTexts& texts, std::size_t index) {
  switch (report.state) {
    case JobState::kPending:
      print_line(texts.pending, filled(texts.pending.text, report, index));
      return std::nullopt;
    case JobState::kInProgress:
      print_line(texts.in_progress, filled(texts.in_progress.text, report, index));
      return std::nullopt;
    case JobState::kFinished:
      for (const auto& line : texts.finished) print_line(line, filled(line.text, report, index));
      return true;
    case JobState::kFailed:
      print_error(report.failure(texts.failed));
      return false;
    case JobState::kUnknown:
      break;
  }
  print_error("Server returned unknown status");
  return false;
}

std::string job_interrupted(const json& status_body) {
  return "while waiting for job " + member_or_null(status_body, "job_id").dump() +
         "; the service may still finish it";
}

}  // namespace rest_client
