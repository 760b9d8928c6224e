// INSERT_VECTOR: one dense or sparse vector.
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"
#include "commands/vector_numbers.h"

namespace rest_client {
namespace {

bool send_insert(Session& session, const std::string& project, const std::string& dataset,
                 const std::string& string_id, json data, const Options& options) {
  json body = request_body(session);
  body["project_name"] = project;
  body["collection_name"] = dataset;
  body["string_id"] = string_id;
  body["data"] = std::move(data);
  if (options.vector_attributes) body["attributes"] = json::parse(*options.vector_attributes);
  const HttpResponse response = post_limited(session, "/add_data", body);
  if (!answered(response, "Insert failed! Status: ", "\nReponse: ")) return false;
  const std::string code = read_error_code(parse_json(response.text));
  if (code != "Success") {
    print_error("Insert failed! Error Code: " + code);
    return false;
  }
  statement_output::count(session, "inserted", 1);
  print_success("Successfully inserted vector");
  return true;
}

}  // namespace

bool handle_insert_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::string& string_id, std::vector<std::string> values,
                          Options options) {
  return guarded("handle_insert", [&] {
    print_info("Inserting vector to dataset " + dataset + "...");
    return send_insert(session, project, dataset, string_id, dense_json(to_dense_vector(values)),
                       options);
  });
}

bool handle_insert_vector(Session& session, const std::string& project, const std::string& dataset,
                          const std::string& string_id, const std::string& sparse_text,
                          Options options) {
  return guarded("handle_insert", [&] {
    print_info("Inserting vector to dataset " + dataset + "...");
    return send_insert(session, project, dataset, string_id,
                       sparse_json(to_sparse_vector(sparse_text)), options);
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, InsertDense& s) {
  return rest_client::handle_insert_vector(session, s.project, s.dataset, s.string_id,
                                           std::move(s.values), std::move(s.options));
}

bool execute(rest_client::Session& session, InsertSparse& s) {
  return rest_client::handle_insert_vector(session, s.project, s.dataset, s.string_id,
                                           s.sparse_text, std::move(s.options));
}

}  // namespace stmt
