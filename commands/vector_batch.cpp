// INSERT_VECTOR_BATCH: dense batches with a checksum and an upload job, sparse batches with a
// per-vector report.
#include <iostream>

#include "client/job_status.h"
#include "client/large_buffers.h"
#include "client/payload.h"
#include "client/request.h"
#include "client/retry_policy.h"
#include "client/statement_output.h"
#include "commands/handlers.h"
#include "commands/vector_numbers.h"

namespace rest_client {

const JobTexts kBatchJobTexts = {
    {JobLine::Kind::kInfo, "Upload is pending"},
    {JobLine::Kind::kInfo, "Upload is in progress"},
    {{JobLine::Kind::kSuccess, "Upload Finished."}, {JobLine::Kind::kSuccess, "{message}"}},
    "Server failed to upload"};

namespace {

json batch_body(const Session& session, const std::string& project, const std::string& dataset,
                const Options& options) {
  json body = request_body(session);
  body["project_name"] = project;
  body["collection_name"] = dataset;
  if (options.vector_attributes) body["attributes"] = json::parse(*options.vector_attributes);
  return body;
}

constexpr const char* kBatchMayBeStored =
    "The batch was sent whole and nothing the service said tells whether it was stored: its "
    "vectors may be; search for their ids before inserting it again";

// Everything after the batch answer arrives; a failure here also shows the raw answer.
template <class Body>
bool reading_answer(const HttpResponse& response, Body&& body) {
  try {
    if (!answered(response, "Insertions failed! Status: ")) {
      if (outcome_of(response).delivery == Delivery::kUnknown) {
        std::string warning(" ");
        warning += kBatchMayBeStored;
        print_warning(warning);
      }
      return false;
    }
    return body();
  } catch (const std::exception& e) {
    print_error(std::string("Failed to parse server response: ") + e.what());
    print_error("Raw response: " + service_text(response.text));
    return false;
  }
}

// The error code inside one vector's "body" text.
std::string vector_error_code(const std::string& body_text) {
  try {
    return parse_json(body_text).value("error_code", std::string("UNKNOWN"));
  } catch (const std::exception&) {
    return "Invalid response format";
  }
}

// Polls every 3 seconds until the batch's upload job finishes (true) or fails (false).
bool poll_batch_upload_job(Session& session, const std::string& job_id) {
  json status_body = request_body(session);
  status_body["job_id"] = job_id;
  statement_output::job(session, job_id);
  return follow_job(session, "/get_upload_data_status", status_body, std::chrono::seconds(3),
                    [&session](const JobReport& report) {
                      statement_output::job_state(session, report.status());
                      return tell_job(report, kBatchJobTexts);
                    });
}

}  // namespace

bool handle_insert_vector_batch(Session& session, const std::string& project,
                                const std::string& dataset, std::vector<std::string> ids,
                                const WordRows& vectors, Options options) {
  return guarded("handle_insert_batch", [&] {
    print_info("Batch insertion with project_name and collection_name: " + project + " " + dataset +
               "...");
    // "data" is written once, in place in the body, and the checksum, which comes before it,
    // is filled in afterwards: it covers exactly the text that is sent.
    const std::size_t values = vectors.words() + vectors.rows();
    json body = batch_body(session, project, dataset, options);
    body["string_ids"] = std::move(ids);
    body["checksum"] = std::string(64, '0');
    std::size_t data_at = 0, data_end = 0;
    std::string text = dump_with_member(
        body, "data",
        [&](std::string& out) {
          // A widened float takes at most 24 bytes and its comma; the rest of the body follows.
          reserve_large(out,
                        out.size() + values * 25 + (4 << 10) + body.at("string_ids").dump().size());
          out += '[';
          append_dense_rows(vectors, out);
          out += ']';
        },
        data_at, data_end);
    const std::string checksum = sha256_hex(text.data() + data_at, data_end - data_at);
    // The member's own place: the last before "data" (an attribute may be named "checksum" too,
    // but the attributes come first).
    const std::string placeholder = "\"checksum\":\"" + std::string(64, '0');
    text.replace(text.rfind(placeholder, data_at) + placeholder.size() - 64, 64, checksum);
    print_info("data field checksum: " + checksum);

    const HttpResponse response = post_limited_text(session, "/add_data_batch", text);
    return reading_answer(response, [&] {
      const json answer = parse_json(response.text);
      const std::string server_checksum =
          member_or_null(answer, "checksum_server").get<std::string>();
      std::cout << "Server returns matching checksum: " << printable(service_text(server_checksum))
                << std::endl;
      if (server_checksum != checksum) {
        print_warning(" The server's checksum " + server_checksum +
                      " does not match the client's checksum " + checksum);
      }
      if (!poll_batch_upload_job(session, member_or_null(answer, "job_id").get<std::string>())) {
        return false;
      }
      statement_output::count(session, "inserted", vectors.rows());
      return true;
    });
  });
}

bool handle_insert_vector_batch(Session& session, const std::string& project,
                                const std::string& dataset, std::vector<std::string> ids,
                                const std::vector<std::string>& sparse_texts, Options options) {
  return guarded("handle_insert_batch", [&] {
    print_info("Batch insertion with project_name and collection_name: " + project + " " + dataset +
               "...");
    json data = json::array();
    for (const auto& text : sparse_texts) data.push_back(sparse_json(to_sparse_vector(text)));
    json body = batch_body(session, project, dataset, options);
    body["string_id"] = ids;
    body["data"] = std::move(data);

    const HttpResponse response = post_limited(session, "/add_data_batch", body);
    return reading_answer(response, [&] {
      const json answer = parse_json(response.text);
      std::size_t inserted = 0, results = 0;
      std::vector<std::string> failures;
      auto fail = [&failures, &session](const std::string& id, const std::string& code) {
        failures.push_back(" - string_id: \"" + service_text(id) + "\", error: \"" +
                           service_text(code) + "\"");
        statement_output::failed_vector(session, id, code);
      };
      for (const json& result : answer) {
        const std::string id = result.value("string_id", std::string("UNKNOWN_ID"));
        const int status = result.value("status", 0);
        const std::string code = vector_error_code(result.value("body", std::string()));
        if (status == 200 && code == "Success") {
          ++inserted;
        } else {
          fail(id, code);
        }
        ++results;
      }
      // Every vector sent has its result: one the answer leaves out was not inserted.
      for (std::size_t i = results; i < sparse_texts.size(); ++i) {
        fail(i < ids.size() ? ids[i] : "vector " + std::to_string(i + 1),
             "no result in the service's answer");
      }
      statement_output::count(session, "inserted", inserted);
      print_success("Inserted " + std::to_string(inserted) + " vectors successfully.");
      if (failures.empty()) return true;
      print_border();
      print_error(std::to_string(failures.size()) + " Failed insertions:\n");
      for (const auto& line : failures) std::cout << printable(line) << "\n";
      std::cout << std::flush;
      print_border();
      return false;
    });
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, InsertDenseBatch& s) {
  return rest_client::handle_insert_vector_batch(session, s.project, s.dataset, std::move(s.ids),
                                                 s.vectors, std::move(s.options));
}

bool execute(rest_client::Session& session, InsertSparseBatch& s) {
  return rest_client::handle_insert_vector_batch(session, s.project, s.dataset, std::move(s.ids),
                                                 s.sparse_texts, std::move(s.options));
}

}  // namespace stmt
