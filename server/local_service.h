#pragma once
// The HTTP API of Orvix Local: the endpoints the client uses, per user, over the store, the
// search engine and the job queue.

#include <httplib.h>

#include <set>
#include <string>

#include "server/jobs.h"
#include "server/search_engine.h"
#include "server/store.h"

namespace orvix_local {

class LocalService {
 public:
  // An empty data path keeps everything in memory.
  LocalService(const std::string& database_path, std::set<std::string> api_keys);

  void mount(httplib::Server& server);
  // Answers one API call: the HTTP status and the JSON answer.
  std::pair<int, json> call(const std::string& endpoint, const std::string& body_text);

 private:
  using Handler = json (LocalService::*)(const std::string& owner, const json& body);

  json check_cli_version(const std::string& owner, const json& body);
  json create_project(const std::string& owner, const json& body);
  json fetch_projects(const std::string& owner, const json& body);
  json delete_project(const std::string& owner, const json& body);
  json init(const std::string& owner, const json& body);
  json fetch_datasets(const std::string& owner, const json& body);
  json delete_dataset(const std::string& owner, const json& body);
  json attach_index(const std::string& owner, const json& body);
  json job_status(const std::string& owner, const json& body);
  json list_index_infos(const std::string& owner, const json& body);
  json delete_index(const std::string& owner, const json& body);
  json add_data(const std::string& owner, const json& body);
  json add_data_batch(const std::string& owner, const json& body);
  json remove_data(const std::string& owner, const json& body);
  json search(const std::string& owner, const json& body);
  json upload(const std::string& owner, const json& body);

  std::set<std::string> api_keys_;
  Store store_;
  SearchEngine engine_;
  JobQueue jobs_;
};

}  // namespace orvix_local
