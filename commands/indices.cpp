// Indices: attach (a polled server job), list, delete.
#include "commands/indices.h"

#include <iostream>

#include "client/dataset_listing.h"
#include "client/job_status.h"
#include "client/line_input.h"
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"
#include "language/diagnostics.h"

namespace rest_client {
namespace {

std::string normalised_distance(const std::string& typed) {
  if (typed == "InnerProduct" || typed == "innerProduct") return "Inner Product";
  if (typed == "cosine") return "Cosine";
  if (typed == "l2") return "L2";
  if (typed == "hamming") return "Hamming";
  return typed;
}

// Reads the dataset listing for the number of vectors; any failure leaves the count as it was.
long long prefetch_vector_count(Session& session, const std::string& project,
                                const std::string& dataset) {
  long long vector_count = 0;
  try {
    for (const json& element : listed_datasets(session, project, dataset)) {
      vector_count = extractFirstElement(element.at("dimension").get<std::string>());
      std::cout << " Number of vectors to be indexed: " << vector_count << std::endl;
    }
  } catch (const std::exception& e) {
    print_error(std::string("Error in handle_fetch_datasets: ") + e.what());
  }
  return vector_count;
}

// Follows the attach job until it finishes (true) or fails (false).
bool poll_attach_job(Session& session, const json& status_body, int wait_time_ms) {
  return follow_job(session, "/get_attach_index_status", status_body,
                    std::chrono::milliseconds(wait_time_ms), [&session](const JobReport& report) {
                      statement_output::job_state(session, report.status());
                      return tell_job(report, kAttachJobTexts);
                    });
}

}  // namespace

const JobTexts kAttachJobTexts = {{JobLine::Kind::kSuccess, "Request in queue"},
                                  {JobLine::Kind::kInfo, "Attaching index..."},
                                  {{JobLine::Kind::kSuccess, "Successfully attached index"}},
                                  "Server failed to attach index"};

int attach_wait_time_ms(long long vector_count) {
  if (vector_count > 10000000) return 60000;
  if (vector_count > 1000000) return 30000;
  if (vector_count > 300000) return 15000;
  return 3000;
}

bool handle_attach_index(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& index, const std::string& dist_type,
                         const bool& large_index) {
  return guarded("handle_attach_index", [&] {
    const std::string distance = normalised_distance(dist_type);
    print_info("Attaching index with collection_name, index_name, and dist_type: " + dataset + " " +
               index + " " + distance + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["collection_name"] = dataset;
    body["index_name"] = index;
    body["dist_type"] = distance;
    body["large_index"] = large_index;

    const long long vector_count = prefetch_vector_count(session, project, dataset);

    const HttpResponse response = post_limited(session, "/attach_index", body);
    if (!answered(response, "Attach Index failed! Status: ", "\nResponse:")) return false;
    const json answer = parse_json(response.text);
    const bool started = answer.is_object() && answer.contains("success") &&
                         answer.at("success") == true && answer.contains("job_id");
    if (!started) {
      print_error("Attach Index failed!\n" + service_text(response.text));
      return false;
    }
    print_info("Attaching index '" + index + "' to dataset '" + dataset + "'");
    json status_body = request_body(session);
    status_body["job_id"] = answer.at("job_id").get<std::string>();
    statement_output::job(session, status_body.at("job_id").get<std::string>());

    const int wait_time = attach_wait_time_ms(vector_count);
    std::cout << "wait_time " << wait_time << std::endl;
    return poll_attach_job(session, status_body, wait_time);
  });
}

bool handle_list_index_infos(Session& session, const std::string& project,
                             const std::string& dataset) {
  return guarded("list_index_infos", [&] {
    print_info("Listing the indices for dataset_name: " + dataset + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["dataset_name"] = dataset;
    const HttpResponse response = post_limited(session, "/list_index_infos", body);
    if (!answered(response, "Listing index information failed! Status: ")) return false;
    const json answer = parse_json(response.text);
    if (!has_array_member(answer, "index_infos")) {
      print_error("Server returned incorrect response format");
      return false;
    }
    const json& infos = answer.at("index_infos");
    statement_output::indices(session, infos);
    print_success("Sucessfully fetched " + std::to_string(infos.size()) + " index informations");
    for (const json& info : infos) {
      print_border();
      if (!info.is_array()) throw std::runtime_error("listed index entry is not a JSON array");
      std::cout << "Index name: " << (info.size() > 0 ? info.at(0).dump() : "null") << std::endl;
      std::cout << "Distance type: " << (info.size() > 1 ? info.at(1).dump() : "null") << std::endl;
    }
    print_border();
    return true;
  });
}

bool handle_delete_index(Session& session, const std::string& project, const std::string& dataset,
                         const std::string& index) {
  return guarded("handle_delete_index", [&] {
    print_info("Deleting index with dataset_name and index_name: " + dataset + " " + index + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["dataset_name"] = dataset;
    body["index_name"] = index;
    const HttpResponse response = post_limited(session, "/delete_index", body);
    if (!answered(response, "Delete index failed! Status: ")) return false;
    const json answer = parse_json(response.text);
    if (!read_success(answer)) {
      print_error("Failed to delete index, error code: " + read_error_code(answer));
      return false;
    }
    print_success("Successfully deleted index '" + index + "' from dataset '" + dataset + "'");
    return true;
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, AttachIndex& s) {
  debug("Attaching index '" + s.index + "' to dataset '" + s.dataset +
        "' with large_index=" + (s.large_index ? "true" : "false") + "...");
  return rest_client::handle_attach_index(session, s.project, s.dataset, s.index, s.dist_type,
                                          s.large_index);
}

bool execute(rest_client::Session& session, ListIndex& s) {
  return rest_client::handle_list_index_infos(session, s.project, s.dataset);
}

bool execute(rest_client::Session& session, DeleteIndex& s) {
  if (!rest_client::confirmed("Are you sure you want to delete index '" + s.index +
                                  "' from dataset '" + s.dataset + "'? [y/N]: ",
                              "Deletion cancelled.")) {
    return false;
  }
  const bool ok = rest_client::handle_delete_index(session, s.project, s.dataset, s.index);
  debug("Delete index done.");
  return ok;
}

}  // namespace stmt
