#include "client/request.h"

#include "client/client_state.h"
#include "client/rate_limiter.h"
#include "client/retry_policy.h"
#include "client/waits.h"

#include <cstdio>

namespace rest_client {

json request_body() {
  json body = json::object();
  body["user_api_key"] = api_key;
  return body;
}

HttpResponse post_unlimited(const std::string& path, const json& body) {
  const std::string text = body.dump();
  return http_post_json(server_base_url + path, text);
}

HttpResponse post(const std::string& path, const json& body) {
  return post_text(path, body.dump());
}

HttpResponse post_text(const std::string& path, const std::string& body_text) {
  const std::string url = server_base_url + path;
  check_rate_limit();
  return http_post_json(url, body_text);
}

std::string dump_with_member(const json& body, const std::string& name, const std::string& value) {
  std::string text = "{";
  bool placed = false;
  auto add = [&text](const std::string& key, const std::string& value_text) {
    if (text.size() > 1) text += ',';
    text += json(key).dump();
    text += ':';
    text += value_text;
  };
  for (const auto& [key, member] : body.items()) {
    if (!placed && name < key) {
      add(name, value);
      placed = true;
    }
    if (key != name) add(key, member.dump());
  }
  if (!placed) add(name, value);
  text += '}';
  return text;
}

void print_failure_cause(const HttpResponse& response) {
  if (response.status == 0 && !response.failure.empty()) print_error(response.failure);
}

bool answered(const HttpResponse& response, const std::string& failure_prefix,
              const std::string& separator) {
  if (response.status == 200) return true;
  print_error(failure_prefix + std::to_string(response.status) + separator + response.text);
  print_failure_cause(response);
  return false;
}

std::optional<json> fetch_job_status(const std::string& path, const json& status_body) {
  HttpResponse response = post_unlimited(path, status_body);
  // A status request changes nothing, so a failure that may pass is tried again.
  for (int retry = 1; retry <= kStatusRetries && is_passing_failure(response.status); ++retry) {
    const auto delay = retry_delay(retry, response.retry_after);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(delay.count()) / 1000);
    const std::string failure = response.status == 0
                                    ? "got no answer"
                                    : "was answered with status " + std::to_string(response.status);
    print_warning(" Job status request " + failure + "; retry " + std::to_string(retry) + " of " +
                  std::to_string(kStatusRetries) + " in " + seconds + " s");
    wait_for(delay);
    response = post_unlimited(path, status_body);
  }
  if (response.status != 200) {
    print_error("Server error: returned status " + std::to_string(response.status) + " due to " +
                response.text);
    print_failure_cause(response);
    return std::nullopt;
  }
  json answer = parse_json(response.text);
  if (!answer.is_object() || !answer.contains("success") || !answer.contains("status")) {
    print_error("Server returned invalid response");
    return std::nullopt;
  }
  return answer;
}

std::string job_interrupted(const json& status_body) {
  return "while waiting for job " + member_or_null(status_body, "job_id").dump() +
         "; the service may still finish it";
}

json parse_json(const std::string& text) {
  return json::parse(text, nullptr, true, false);
}

bool read_success(const json& answer) {
  return answer.value("success", false);
}

std::string read_error_code(const json& answer) {
  return answer.value("error_code", std::string("UNKNOWN"));
}

bool has_array_member(const json& answer, const char* member) {
  return answer.is_object() && answer.contains(member) && answer.at(member).is_array();
}

json member_or_null(const json& answer, const char* member) {
  if (answer.is_object() && answer.contains(member)) return answer.at(member);
  return json();
}

void require_object(const json& element) {
  if (!element.is_object()) throw std::runtime_error("listed element is not a JSON object");
}

std::string listed_value(const json& element, const char* member) {
  require_object(element);
  if (!element.contains(member)) return "null";
  return element.at(member).dump();
}

}  // namespace rest_client
