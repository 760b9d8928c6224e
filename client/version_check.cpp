#include "client/version_check.h"

#include "client/request.h"

namespace rest_client {

bool handle_check_cli_version(Session& session) {
  try {
    json body = request_body(session);
    body["cli_version"] = client_version;
    const HttpResponse response = post_limited(session, "/check_cli_version", body);
    if (response.status != 200) {
      print_error("Error checking CLI version with server, status code: " +
                  std::to_string(response.status));
      print_failure_cause(response);
      return false;
    }
    const json answer = parse_json(response.text);
    const bool success_ok =
        answer.is_object() && (!answer.contains("success") || answer.at("success").is_boolean());
    if (!success_ok) {
      print_error("Server returned incorrect response format");
      return false;
    }
    const bool well_formed = answer.contains("success") && answer.contains("message");
    if (!well_formed) print_error("Server returned incorrect response format");
    if (read_success(answer)) return true;
    if (answer.contains("message") && answer.at("message").is_string()) {
      print_error(service_text(answer.at("message").get<std::string>()));
    } else if (well_formed) {
      print_error("Server returned incorrect response format");
    }
    return false;
  } catch (const std::exception& e) {
    print_error(std::string("Error checking CLI version with server: ") + e.what());
    return false;
  }
}

}  // namespace rest_client
