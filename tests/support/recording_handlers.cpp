#include "tests/support/recording_handlers.h"

#include "commands/handlers.h"

namespace testing_support {

std::vector<std::string>& recorded_calls() {
  static std::vector<std::string> calls;
  return calls;
}

bool& recorded_result() {
  static bool result = true;
  return result;
}

}  // namespace testing_support

namespace rest_client {
namespace {

bool record(std::string call) {
  testing_support::recorded_calls().push_back(std::move(call));
  return testing_support::recorded_result();
}

}  // namespace

bool handle_create_project(const std::string& p, const std::string& a) {
  return record("create_project " + p + " " + a);
}
bool handle_fetch_projects() {
  return record("fetch_projects");
}
bool handle_delete_project(const std::string& p) {
  return record("delete_project " + p);
}
bool handle_init_dataset(const std::string& p, const std::string& d, const std::string& t,
                         const std::string& dim) {
  return record("init_dataset " + p + " " + d + " " + t + " " + dim);
}
bool handle_fetch_datasets(const std::string& p) {
  return record("fetch_datasets " + p);
}
bool handle_delete_dataset(const std::string& p, const std::string& d) {
  return record("delete_dataset " + p + " " + d);
}
bool handle_attach_index(const std::string& p, const std::string& d, const std::string& i,
                         const std::string& t, const bool& large) {
  return record("attach_index " + p + " " + d + " " + i + " " + t + " " +
                (large ? "true" : "false"));
}
bool handle_list_index_infos(const std::string& p, const std::string& d) {
  return record("list_index_infos " + p + " " + d);
}
bool handle_delete_index(const std::string& p, const std::string& d, const std::string& i) {
  return record("delete_index " + p + " " + d + " " + i);
}

}  // namespace rest_client
