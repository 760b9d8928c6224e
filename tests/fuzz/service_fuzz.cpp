// Fuzz target: Orvix Local's API in-process, fed request bodies as a client might send them. The
// first byte picks the endpoint (its low five bits) and whether the body, when it is a JSON
// object, gets the user's key put in (its high bit), so that mutations reach past the key check;
// the rest is the body. The service holds a project with a dense and a sparse dataset, a few
// vectors and an index, so bodies that name them reach the handlers' work. Every answer must be
// one the service gives for a request it refuses or serves: never a crash, a leak, or a 500. The
// outline the service reads a request's key and upload data by, before parsing it, must agree
// with a full parse of every body that is an object: where each member it knows lies, and what
// the plain strings among them hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "server/json_outline.h"
#include "server/local_service.h"
#include "tests/fuzz/fuzz_harness.h"

namespace {

using orvix_local::json;

constexpr const char* kEndpoints[] = {"check_cli_version",
                                      "create_project",
                                      "fetch_projects",
                                      "delete_project",
                                      "init",
                                      "fetch_datasets",
                                      "delete_dataset",
                                      "attach_index",
                                      "list_index_infos",
                                      "delete_index",
                                      "add_data",
                                      "add_data_batch",
                                      "remove_data",
                                      "search",
                                      "upload",
                                      "get_upload_data_status",
                                      "get_attach_index_status",
                                      "no_such_endpoint"};

std::unique_ptr<orvix_local::LocalService> service;

void seed(const char* endpoint, json body) {
  body["user_api_key"] = "k";
  const auto [status, answer] = service->call(endpoint, body.dump());
  if (status != 200) {
    std::fprintf(stderr, "setting up: /%s answered %d: %s\n", endpoint, status,
                 answer.dump().c_str());
    std::abort();
  }
}

[[noreturn]] void fail(const std::string& what, const std::string& body) {
  std::fprintf(stderr, "%s in: %s\n", what.c_str(), body.c_str());
  std::abort();
}

// Checks the outline of `body` against nlohmann's parse of it.
void check_outline(const std::string& body) {
  std::map<std::string, int> named;  // how often each top-level name is given
  const json::parser_callback_t count = [&named](int depth, json::parse_event_t event,
                                                 json& parsed) {
    if (event == json::parse_event_t::key && depth == 1) ++named[parsed.get<std::string>()];
    return true;
  };
  const json parsed = json::parse(body, count, false);
  const auto outline = orvix_local::request_outline(service->limits().max_depth, false);
  outline->take(body);
  if (!parsed.is_object() || outline->too_deep()) return;
  for (const std::string name : {"user_api_key", "data", "file_data", "string_id_txt"}) {
    const auto span = outline->member(name);
    if (span.has_value() != (named[name] == 1)) fail("the outline misplaces " + name, body);
    if (!span) continue;
    const std::string value = body.substr(span->first, span->second - span->first);
    if (json::parse(value, nullptr, false) != parsed.at(name)) {
      fail("the outline's " + name + " differs", body);
    }
    const auto plain = outline->plain_string(name);
    const bool unescaped = parsed.at(name).is_string() && value.find('\\') == std::string::npos;
    if (plain.has_value() != unescaped ||
        (plain && body.substr(plain->first, plain->second - plain->first) !=
                      parsed.at(name).get<std::string>())) {
      fail("the outline's plain " + name + " differs", body);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InputTimer::report_at_exit();
  orvix_local::ServiceLimits limits;
  limits.max_shard_bytes = 1 << 20;  // what a 4 KiB input can inflate to stays small
  service = std::make_unique<orvix_local::LocalService>("", std::set<std::string>{"k"}, limits);
  seed("create_project", {{"project_name", "p"}, {"application", "search"}});
  seed("init", {{"project_name", "p"},
                {"collection_name", "d"},
                {"vector_type", "dense"},
                {"vector_dim", 2}});
  seed("init", {{"project_name", "p"},
                {"collection_name", "s"},
                {"vector_type", "sparse"},
                {"vector_dim", 8}});
  seed("add_data",
       {{"project_name", "p"}, {"collection_name", "d"}, {"string_id", "a"}, {"data", {1.0, 2.0}}});
  seed("attach_index", {{"project_name", "p"},
                        {"collection_name", "d"},
                        {"index_name", "i"},
                        {"dist_type", "L2"},
                        {"large_index", true}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzzing::InputTimer timer;
  const std::string endpoint = kEndpoints[(data[0] & 0x1f) % std::size(kEndpoints)];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 0x80) != 0) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_object()) {
      parsed["user_api_key"] = "k";
      body = parsed.dump();
    }
  }
  check_outline(body);
  const auto [status, answer] = service->call(endpoint, body);
  if (status == 500 || status < 200 || status > 507) {
    fail("/" + endpoint + " answered " + std::to_string(status) + ": " + answer.dump(), body);
  }
  return 0;
}
