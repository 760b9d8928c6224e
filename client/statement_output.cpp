#include "client/statement_output.h"

#include <algorithm>
#include <iterator>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "client/console.h"

namespace rest_client::statement_output {
namespace {

json& members(Session& session) {
  return session.output.members;
}

// A listed value as the service gave it; a missing one is null.
json member(const json& entry, const char* name) {
  return entry.is_object() && entry.contains(name) ? entry.at(name) : json();
}

// "(vectors, dimension)" of a dataset listing, as numbers; nulls for another text. A number
// that is negative or does not fit makes the answer unusable (std::runtime_error naming it).
std::pair<json, json> shape(const json& text) {
  if (!text.is_string()) return {json(), json()};
  const std::string shape = text.get<std::string>();
  const char* at = shape.c_str();
  auto number = [&]() -> json {
    while (*at == ' ' || *at == '(' || *at == ',') ++at;
    const bool negative = *at == '-';
    if (negative || *at == '+') ++at;
    if (*at < '0' || *at > '9') return json();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(at, &end, 10);
    if (negative || errno == ERANGE) {
      throw std::runtime_error("the service gave the shape " + service_text(json(shape).dump()) +
                               ", whose numbers are not counts");
    }
    at = end;
    return value;
  };
  const json vectors = number();
  if (vectors.is_null()) return {json(), json()};
  return {vectors, number()};
}

json neighbours(const json& list) {
  json found = json::array();
  if (!list.is_array()) return found;
  for (const json& hit : list) {
    found.push_back({{"id", member(hit, "idx")}, {"distance", member(hit, "distance")}});
  }
  return found;
}

}  // namespace

void projects(Session& session, const json& listed) {
  json& out = members(session)["projects"] = json::array();
  for (const json& entry : listed) {
    out.push_back({{"name", member(entry, "project_name")},
                   {"id", member(entry, "project_id")},
                   {"application", member(entry, "application")}});
  }
}

void datasets(Session& session, const json& listed) {
  json& out = members(session)["datasets"] = json::array();
  for (const json& entry : listed) {
    const auto [vectors, dimension] = shape(member(entry, "dimension"));
    out.push_back({{"name", member(entry, "name")},
                   {"vectors", vectors},
                   {"dimension", dimension},
                   {"size_bytes", member(entry, "size")}});
  }
}

void indices(Session& session, const json& listed) {
  json& out = members(session)["indices"] = json::array();
  for (const json& entry : listed) {
    const bool pair = entry.is_array();
    out.push_back({{"name", pair && !entry.empty() ? entry.at(0) : json()},
                   {"metric", pair && entry.size() > 1 ? entry.at(1) : json()}});
  }
}

void search_results(Session& session, const json& results, bool per_query) {
  if (!per_query) {
    members(session)["results"] = neighbours(results);
    return;
  }
  json& out = members(session)["queries"] = json::array();
  if (!results.is_array()) return;
  for (const json& query : results) {
    out.push_back({{"query_id", member(query, "query_vector_id")},
                   {"matches", neighbours(member(query, "matches"))}});
  }
}

void count(Session& session, const char* what, std::size_t count) {
  members(session)[what] = count;
}

void job(Session& session, const std::string& job_id) {
  members(session)["job_id"] = job_id;
}

void job_state(Session& session, const std::string& state) {
  members(session)["state"] = state;
}

void failed_vector(Session& session, const std::string& id, const std::string& error) {
  json& failed = members(session)["failed"];
  if (!failed.is_array()) failed = json::array();
  failed.push_back({{"id", id}, {"error", error}});
}

void upload(Session& session, const std::string& file, std::uint64_t records, std::size_t shards,
            const std::vector<UploadJob>& jobs) {
  json& out = members(session);
  out["file"] = file;
  out["records"] = records;
  out["shards"] = shards;
  out["jobs"] = json::array();
  for (const auto& job : jobs) {
    out["jobs"].push_back({{"job_id", job.job_id},
                           {"state", job.state},
                           {"message", job.message.empty() ? json() : json(job.message)}});
  }
}

void statements(Session& session, const std::vector<std::string>& keywords) {
  members(session)["statements"] = keywords;
}

void help(Session& session, const std::vector<std::string>& lines) {
  members(session)["help"] = lines;
}

json record(const std::optional<std::string>& keyword, bool ok, const Session& session,
            const std::optional<std::string>& error) {
  json out = {{"statement", keyword ? json(*keyword) : json()}, {"ok", ok}};
  if (!ok) {
    out["error"] = error.value_or("");
    if (session.output.last_status != 0) out["http_status"] = session.output.last_status;
  }
  // A failed statement's record says what was sent and how far it went (an upload's jobs, a dry
  // run's problems, a job's state), never what a listing answer seemed to hold.
  static const char* const kListings[] = {"projects", "datasets",   "indices",
                                          "results",  "queries",    "inserted",
                                          "deleted",  "statements", "help"};
  for (const auto& [name, value] : session.output.members.items()) {
    const bool listing =
        std::find(std::begin(kListings), std::end(kListings), name) != std::end(kListings);
    if (!out.contains(name) && (ok || !listing)) out[name] = value;
  }
  return out;
}

}  // namespace rest_client::statement_output
