// Projects: create, list, delete.
#include <iostream>

#include "client/line_input.h"
#include "client/request.h"
#include "client/statement_output.h"
#include "commands/handlers.h"

namespace rest_client {

bool handle_create_project(Session& session, const std::string& project,
                           const std::string& application) {
  return guarded("handle_create_project", [&] {
    print_info("Creating project with project_name, application: " + project + " " + application +
               "...");
    if (application != "search" && application != "autoML" && application != "both") {
      throw std::invalid_argument(
          "Please set the application argument to one of 'search', 'autoML', or 'both'");
    }
    json body = request_body(session);
    body["project_name"] = project;
    body["application"] = application;
    if (!answered(post_limited(session, "/create_project", body),
                  "Create project failed! Status: "))
      return false;
    print_success("Create project '" + project + "' succeeded");
    return true;
  });
}

bool handle_fetch_projects(Session& session) {
  return guarded("handle_fetch_projects", [&] {
    print_info("Fetching projects...");
    const HttpResponse response = post_limited(session, "/fetch_projects", request_body(session));
    if (!answered(response, "Projects fetch failed! Status: ")) return false;
    print_success("Projects fetch succeeded");
    const json answer = parse_json(response.text);
    if (!has_array_member(answer, "projects")) {
      print_error("Server returned incorrect response format");
      return false;
    }
    const json& projects = answer.at("projects");
    statement_output::projects(session, projects);
    print_success("Sucessfully fetched " + std::to_string(projects.size()) + " projects");
    for (const json& project : projects) {
      print_border();
      require_object(project);
      std::cout << "Project Name: " << listed_value(project, "project_name") << std::endl;
      std::cout << "Project ID: " << listed_value(project, "project_id") << std::endl;
      std::cout << "Application: " << listed_value(project, "application") << std::endl;
    }
    print_border();
    return true;
  });
}

bool handle_delete_project(Session& session, const std::string& project) {
  return guarded("handle_delete_project", [&] {
    print_info("Deleting project called with project_name: " + project + " ...");
    json body = request_body(session);
    body["project_name"] = project;
    const HttpResponse response = post_limited(session, "/delete_project", body);
    if (!answered(response, "Delete project failed! Status: ")) return false;
    const json answer = parse_json(response.text);
    if (!read_success(answer)) {
      print_error("Failed to delete project, error code: " + read_error_code(answer));
      return false;
    }
    print_success("Successfully deleted project '" + project + "'");
    return true;
  });
}

}  // namespace rest_client

namespace stmt {

bool execute(rest_client::Session& session, CreateProject& s) {
  return rest_client::handle_create_project(session, s.project, s.application);
}

bool execute(rest_client::Session& session, FetchProjects&) {
  return rest_client::handle_fetch_projects(session);
}

bool execute(rest_client::Session& session, DeleteProject& s) {
  return rest_client::confirmed(
             "Are you sure you want to delete project '" + s.project + "'? [y/N]: ",
             "Deletion cancelled") &&
         rest_client::handle_delete_project(session, s.project);
}

}  // namespace stmt
