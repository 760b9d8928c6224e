// DELETE_VECTOR: removes vectors by string id.
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"

namespace rest_client {

bool handle_delete_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::vector<std::string>& ids) {
  return guarded("handle_delete_vector", [&] {
    const std::string count = std::to_string(ids.size());
    print_info("Deleting " + count + " vectors from dataset " + dataset + "...");
    json body = request_body(session);
    body["project_name"] = project;
    body["collection_name"] = dataset;
    body["string_ids"] = ids;
    const HttpResponse response = post_limited(session, "/remove_data", body);
    if (!answered(response, "Delete vector failed! Status: ")) return false;
    const json answer = parse_json(response.text);
    if (read_error_code(answer) != "Success") {
      print_error("Failed to delete vector, error message: " +
                  service_text(answer.value("error_message", std::string("UNKNOWN"))));
      return false;
    }
    statement_output::count(session, "deleted", ids.size());
    print_success("Successfully deleted " + count + " vectors from dataset " + dataset);
    return true;
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, DeleteVector& s) {
  return rest_client::handle_delete_vector(session, s.project, s.dataset, s.ids);
}

}  // namespace stmt
