#pragma once
// The JSON record of a statement (--output json): one object on one line, written once the
// statement has run. Its members are a contract with the scripts that read them; every name is
// written here, and in the man page and README, and nowhere else.
//
//   "statement"    the keyword (HELP for the list), or null for a line that names none
//   "ok"           true when the statement did what it says
//   "error"        on failure: the first error line's text, without tag or colour
//   "http_status"  on failure, when the service answered: the last status it answered
// and, on success, what the statement produced:
//   FETCH_PROJECTS       "projects": [{"name", "id", "application"}]
//   FETCH_DATASETS       "datasets": [{"name", "vectors", "dimension", "size_bytes"}]
//   LIST_INDEX           "indices": [{"name", "metric"}]
//   SEARCH (vector, row) "results": [{"id", "distance"}]
//   SEARCH (file, dataset) "queries": [{"query_id", "matches": [{"id", "distance"}]}]
//   INSERT_VECTOR        "inserted"
//   INSERT_VECTOR_BATCH  "inserted", and "job_id" and "state" (dense) or "failed":
//                        [{"id", "error"}] (sparse)
//   DELETE_VECTOR        "deleted"
//   ATTACH_INDEX         "job_id", "state"
//   UPLOAD               "file", "records", "shards", "jobs": [{"job_id", "state", "message"}],
//                        and for a dry run "dry_run": true, "dimension", "vector_type", "ids",
//                        "shard_bytes", "problems": [{"record", "offset", "problem"}],
//                        "more_problems"
//   HELP                 "statements": [keywords]; STATEMENT -h: "help": [lines]
// Numbers are JSON numbers; a distance is the service's, sign and all.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client/session.h"

namespace rest_client::statement_output {

using json = nlohmann::json;

void projects(Session& session, const json& listed);
void datasets(Session& session, const json& listed);
void indices(Session& session, const json& listed);
// The service's "results": one query's neighbours, or each query's.
void search_results(Session& session, const json& results, bool per_query);
void count(Session& session, const char* what, std::size_t count);  // "inserted", "deleted"
void job(Session& session, const std::string& job_id);
void job_state(Session& session, const std::string& state);
void failed_vector(Session& session, const std::string& id, const std::string& error);
struct UploadJob {
  std::string job_id, state, message;
};
void upload(Session& session, const std::string& file, std::uint64_t records, std::size_t shards,
            const std::vector<UploadJob>& jobs);
void statements(Session& session, const std::vector<std::string>& keywords);
void help(Session& session, const std::vector<std::string>& lines);

// The statement's whole record.
json record(const std::optional<std::string>& keyword, bool ok, const Session& session,
            const std::optional<std::string>& error);

}  // namespace rest_client::statement_output
