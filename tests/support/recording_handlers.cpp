#include "tests/support/recording_handlers.h"

#include <map>

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

std::string join(const std::vector<std::string>& parts) {
  std::string text = "[";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "|" : "") + parts[i];
  return text + "]";
}

std::string options_text(const OptionMap& options) {
  std::map<std::string, std::string> sorted(options.begin(), options.end());
  std::string text = "{";
  for (const auto& [key, value] : sorted) text += key + "=" + value + ";";
  return text + "}";
}

}  // namespace

bool handle_insert_vector(const std::string& p, const std::string& d, const std::string& id,
                          std::vector<std::string> values, OptionMap options) {
  return record("insert_dense " + p + " " + d + " " + id + " " + join(values) + " " +
                options_text(options));
}
bool handle_insert_vector(const std::string& p, const std::string& d, const std::string& id,
                          const std::string& sparse, OptionMap options) {
  return record("insert_sparse " + p + " " + d + " " + id + " " + sparse + " " +
                options_text(options));
}
bool handle_insert_vector_batch(const std::string& p, const std::string& d,
                                std::vector<std::string> ids,
                                std::vector<std::vector<std::string>> vectors, OptionMap options) {
  std::string text;
  for (const auto& v : vectors) text += join(v);
  return record("batch_dense " + p + " " + d + " " + join(ids) + " [" + text + "] " +
                options_text(options));
}
bool handle_insert_vector_batch(const std::string& p, const std::string& d,
                                std::vector<std::string> ids,
                                const std::vector<std::string>& sparse, OptionMap options) {
  return record("batch_sparse " + p + " " + d + " " + join(ids) + " " + join(sparse) + " " +
                options_text(options));
}
bool handle_delete_vector(const std::string& p, const std::string& d,
                          const std::vector<std::string>& ids) {
  return record("delete_vector " + p + " " + d + " " + join(ids));
}
bool handle_search(const std::string& p, const std::string& d, const std::string& i,
                   const std::string& q, OptionMap options) {
  return record("search " + p + " " + d + " " + i + " " + q + " " + options_text(options));
}

bool handle_upload(const std::string& p, const std::string& f, OptionMap options) {
  return record("upload " + p + " " + f + " " + options_text(options));
}

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
