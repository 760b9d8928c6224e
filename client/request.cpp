#include "client/request.h"

#include "client/limits.h"
#include "client/rate_limiter.h"

namespace rest_client {

json request_body(const Session& session) {
  json body = json::object();
  body["user_api_key"] = session.identity.api_key;
  return body;
}

HttpResponse post_unlimited(Session& session, const std::string& path, const json& body) {
  return post_unlimited_text(session, path, body.dump());
}

HttpResponse post_limited(Session& session, const std::string& path, const json& body) {
  return post_limited_text(session, path, body.dump());
}

HttpResponse post_limited_text(Session& session, const std::string& path,
                               const std::string& body_text) {
  check_rate_limit(session);
  return post_unlimited_text(session, path, body_text);
}

HttpResponse post_unlimited_text(Session& session, const std::string& path,
                                 const std::string& body_text) {
  HttpResponse response = http_post_json(session.network, session.endpoints.api + path, body_text);
  if (response.status != 0) session.output.last_status = response.status;
  return response;
}

std::string dump_with_member(const json& body, const std::string& name,
                             const std::function<void(std::string&)>& write, std::size_t& value_at,
                             std::size_t& value_end) {
  std::string text = "{";
  bool placed = false;
  auto key = [&text](const std::string& member) {
    if (text.size() > 1) text += ',';
    text += json(member).dump();
    text += ':';
  };
  auto place = [&] {
    key(name);
    value_at = text.size();
    write(text);
    value_end = text.size();
    placed = true;
  };
  for (const auto& [member, value] : body.items()) {
    if (!placed && name < member) place();
    if (member == name) continue;
    key(member);
    text += value.dump();
  }
  if (!placed) place();
  text += '}';
  return text;
}

std::string dump_with_member(const json& body, const std::string& name, const std::string& value) {
  std::size_t at = 0, end = 0;
  return dump_with_member(
      body, name, [&value](std::string& text) { text += value; }, at, end);
}

void print_failure_cause(const HttpResponse& response) {
  if (response.status == 0 && !response.failure.empty()) print_error(response.failure);
}

bool answered(const HttpResponse& response, const std::string& failure_prefix,
              const std::string& separator) {
  if (response.status == 200) return true;
  print_error(failure_prefix + std::to_string(response.status) + separator +
              service_text(response.text));
  print_failure_cause(response);
  return false;
}

bool nesting_within(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

json parse_json(const std::string& text) {
  if (!nesting_within(text, limits::kDeepestAnswer)) {
    throw std::runtime_error("the answer is nested deeper than " +
                             std::to_string(limits::kDeepestAnswer) + " levels");
  }
  return json::parse(text, nullptr, true, false);
}

bool read_success(const json& answer) {
  return answer.value("success", false);
}

std::string read_error_code(const json& answer) {
  return service_text(answer.value("error_code", std::string("UNKNOWN")));
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
