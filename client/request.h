#pragma once
// The shape every service request shares: body envelope, URL, rate limiter, POST, status test,
// strict reading of answer members, and the one catch line of each handler.

#include <exception>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "client/console.h"
#include "client/http.h"
#include "client/session.h"

namespace rest_client {

using json = nlohmann::json;

// A new body holding "user_api_key".
json request_body(const Session& session);

// Forms the API root + path, passes the rate limiter, POSTs the compact body.
HttpResponse post_limited(Session& session, const std::string& path, const json& body);
// The same without the rate limiter, for status polls of running jobs.
HttpResponse post_unlimited(Session& session, const std::string& path, const json& body);

// POSTs an already serialised body (limiter passed first).
HttpResponse post_limited_text(Session& session, const std::string& path,
                               const std::string& body_text);
// POSTs an already serialised body to the API root + path, without the limiter (a caller that
// passed it itself, or a status poll).
HttpResponse post_unlimited_text(Session& session, const std::string& path,
                                 const std::string& body_text);
// The compact text of `body` with one more member whose value is already serialised JSON text;
// the same bytes as body.dump() with that member set.
std::string dump_with_member(const json& body, const std::string& name, const std::string& value);
// The same, with the member's value written in place by `write` (a large one is then never
// copied); `value_at` and `value_end` say where it lies in the text.
std::string dump_with_member(const json& body, const std::string& name,
                             const std::function<void(std::string&)>& write, std::size_t& value_at,
                             std::size_t& value_end);

// With status 0, prints why no answer arrived as an error line of its own.
void print_failure_cause(const HttpResponse& response);

// True for status 200; otherwise prints prefix + status + separator + body as an error line
// (and, when no answer arrived, the cause on a line of its own).
bool answered(const HttpResponse& response, const std::string& failure_prefix,
              const std::string& separator = "\nResponse: ");

// Whether JSON text nests its arrays and objects at most `max_depth` deep (strings skipped).
bool nesting_within(std::string_view text, int max_depth);
// Parses an answer strictly: exceptions on, comments not allowed, nesting bounded.
json parse_json(const std::string& text);
// "success" with the default false; throws when present but not a boolean.
bool read_success(const json& answer);
// "error_code" with the default "UNKNOWN"; throws when present but not a string.
std::string read_error_code(const json& answer);
// True when the answer is an object whose `member` is an array.
bool has_array_member(const json& answer, const char* member);
// A member's value, or null when it is absent (so a strict conversion reports its type).
json member_or_null(const json& answer, const char* member);
// Throws std::runtime_error unless a listed element is a JSON object.
void require_object(const json& element);
// A listed value in its compact JSON text; a missing member shows as null.
std::string listed_value(const json& element, const char* member);

// Runs a handler body; any standard exception becomes "Error in <name>: <what>" and false.
template <class Body>
bool guarded(const std::string& name, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    print_error("Error in " + name + ": " + e.what());
    return false;
  }
}

}  // namespace rest_client
