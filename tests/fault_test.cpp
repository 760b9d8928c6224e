// Broken connections and hostile answers: every handler fails with its own line, reports the
// failure, sends a data-changing request only once, and shows no more of a huge or hostile
// answer than a terminal can take.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "commands/handlers.h"
#include "tests/support/dropping_server.h"
#include "tests/support/service_fixture.h"
#include "tests/support/statement_table.h"
#include "upload/shard_transfer.h"

namespace {

using namespace rest_client;
using namespace testing_support;

struct Call {
  const char* name;
  std::function<bool()> run;
  std::string failure;  // the start of the handler's line for a status-0 failure
};

class FaultTest : public ServiceTest {
 protected:
  FaultTest() { std::ofstream(data_path) << "1 0:1.5\n2 1:2\n"; }
  ~FaultTest() override { std::remove(data_path.c_str()); }

  std::vector<Call> calls() {
    return {
        {"create project", [this] { return handle_create_project(session, "p", "search"); },
         "Create project failed! Status: 0"},
        {"fetch projects", [this] { return handle_fetch_projects(session); },
         "Projects fetch failed! Status: 0"},
        {"delete project", [this] { return handle_delete_project(session, "p"); },
         "Delete project failed! Status: 0"},
        {"init dataset", [this] { return handle_init_dataset(session, "p", "d", "dense", "2"); },
         "Initialize dataset failed! Status: 0"},
        {"delete dataset", [this] { return handle_delete_dataset(session, "p", "d"); },
         "Delete dataset failed! Status: 0"},
        {"list indices", [this] { return handle_list_index_infos(session, "p", "d"); },
         "Listing index information failed! Status: 0"},
        {"delete index", [this] { return handle_delete_index(session, "p", "d", "i"); },
         "Delete index failed! Status: 0"},
        {"insert",
         [this] {
           return handle_insert_vector(session, "p", "d", "a", std::vector<std::string>{"1", "2"},
                                       OptionMap{});
         },
         "Insert failed! Status: 0"},
        {"batch",
         [this] {
           return handle_insert_vector_batch(session, "p", "d", {"a"},
                                             std::vector<std::vector<std::string>>{{"1", "2"}},
                                             OptionMap{});
         },
         "Insertions failed! Status: 0"},
        {"delete vectors", [this] { return handle_delete_vector(session, "p", "d", {"a"}); },
         "Delete vector failed! Status: 0"},
        {"search",
         [this] {
           return handle_search(session, "p", "d", "i", "row", {{"row_number", "1"}});
         },
         "Search failed! Status: 0"},
        {"upload",
         [this] {
           return handle_upload(session, "p", data_path,
                                {{"file_format", "libsvm"}, {"collection_name", "d"}});
         },
         "Upload failed! Status: 0"},
    };
  }

  const std::string data_path =
      ::testing::TempDir() + "fault_" + std::to_string(getpid()) + ".libsvm";
};

TEST_F(FaultTest, ConnectionDroppedDuringRequestOrAnswer) {
  for (const DropPoint point : {DropPoint::kDuringRequest, DropPoint::kDuringAnswer}) {
    for (const auto& call : calls()) {
      SCOPED_TRACE(call.name);
      DroppingServer server(point);
      session.endpoints.api = "http://127.0.0.1:" + std::to_string(server.port()) + "/api";
      session.limiter.clear();
      CapturedOutput capture;
      EXPECT_FALSE(call.run());
      EXPECT_NE(capture.out().find(call.failure), std::string::npos) << capture.out();
      EXPECT_EQ(server.connections(), 1) << "a data-changing request was sent again";
    }
  }
}

TEST_F(FaultTest, HugeAndHostileAnswersAreShownCut) {
  std::string garbage(10 * 1024 * 1024, 'g');
  garbage[100] = '\033';
  for (const int status : {200, 500}) {
    for (const auto& call : calls()) {
      SCOPED_TRACE(call.name + std::string(" ") + std::to_string(status));
      reset();
      for (const auto& path : service_paths()) service.on("/api" + path, status, garbage);
      CapturedOutput capture("y\n");
      const bool done = call.run();
      // Creating a project or a dataset does not read a 200 answer; all else fails on garbage.
      const std::string name = call.name;
      if (status != 200 || (name != "create project" && name != "init dataset")) {
        EXPECT_FALSE(done);
      }
      const std::string shown = capture.out() + capture.err();
      EXPECT_LT(shown.size(), 64u * 1024) << "the answer was printed whole";
      EXPECT_EQ(shown.find("g\033"), std::string::npos) << "a control character reached the screen";
    }
  }
}

// Where every value of a JSON document sits, containers included.
void collect_pointers(const json& value, const json::json_pointer& at,
                      std::vector<json::json_pointer>& pointers) {
  pointers.push_back(at);
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) collect_pointers(member, at / key, pointers);
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) collect_pointers(value.at(i), at / i, pointers);
  }
}

// A good answer with one value at a time replaced by each JSON kind it is not.
std::vector<std::string> wrong_shapes(const json& good) {
  const std::vector<json> kinds = {nullptr, true, 7, -1.5, "s", json::array(), json::object()};
  std::vector<json::json_pointer> pointers;
  collect_pointers(good, json::json_pointer(), pointers);
  std::vector<std::string> variants;
  for (const auto& pointer : pointers) {
    for (const json& kind : kinds) {
      if (kind.type() == good.at(pointer).type()) continue;
      json changed = good;
      changed.at(pointer) = kind;
      variants.push_back(changed.dump());
    }
  }
  return variants;
}

TEST_F(FaultTest, WrongShapeAtEveryMemberIsAFailureWithAnErrorLine) {
  struct Answered {
    const char* name;
    std::vector<std::pair<std::string, std::string>> good;  // path, good answer; last one mutated
    std::function<bool()> run;
  };
  const std::string finished = R"({"success":true,"status":"finished","error_message":"ok"})";
  const std::vector<Answered> cases = {
      {"fetch projects",
       {{"/fetch_projects",
         R"({"projects":[{"project_name":"a","project_id":7,"application":"both"}]})"}},
       [this] { return handle_fetch_projects(session); }},
      {"fetch datasets",
       {{"/fetch_datasets", R"j({"datasets":[{"name":"d","dimension":"(3, 4)","size":1536}]})j"}},
       [this] { return handle_fetch_datasets(session, "p"); }},
      {"delete project",
       {{"/delete_project", R"({"success":true,"error_code":"x"})"}},
       [this] { return handle_delete_project(session, "p"); }},
      {"attach",
       {{"/fetch_datasets", R"({"datasets":[]})"},
        {"/attach_index", R"({"success":true,"job_id":"j"})"},
        {"/get_attach_index_status", R"({"success":true,"status":"failed","error":"e"})"}},
       [this] { return handle_attach_index(session, "p", "d", "i", "l2", false); }},
      {"list indices",
       {{"/list_index_infos", R"({"index_infos":[["i","L2"]]})"}},
       [this] { return handle_list_index_infos(session, "p", "d"); }},
      {"insert",
       {{"/add_data", R"({"error_code":"Success"})"}},
       [this] {
         return handle_insert_vector(session, "p", "d", "a", std::vector<std::string>{"1"},
                                     OptionMap{});
       }},
      {"dense batch",
       {{"/add_data_batch", R"({"checksum_server":"abc","job_id":"j"})"},
        {"/get_upload_data_status", finished}},
       [this] {
         return handle_insert_vector_batch(session, "p", "d", {"a"},
                                           std::vector<std::vector<std::string>>{{"1"}}, {});
       }},
      {"sparse batch",
       {{"/add_data_batch",
         R"([{"string_id":"a","status":200,"body":"{\"error_code\":\"Success\"}"}])"}},
       [this] {
         return handle_insert_vector_batch(session, "p", "d", {"a"}, std::vector<std::string>{"{}"},
                                           {});
       }},
      {"delete vectors",
       {{"/remove_data", R"({"error_code":"Success"})"}},
       [this] { return handle_delete_vector(session, "p", "d", {"a"}); }},
      {"search",
       {{"/search", R"({"results":[{"distance":-0.25,"idx":"a"}]})"}},
       [this] {
         return handle_search(session, "p", "d", "i", "row", {{"row_number", "1"}});
       }},
      {"multi search",
       {{"/search", R"({"results":[{"query_vector_id":0,"matches":[{"distance":1,"idx":"a"}]}]})"}},
       [this] {
         return handle_search(session, "p", "d", "i", "row", {{"row_number", "1"}});
       }},
      {"upload",
       {{"/upload", R"({"checksum_server":"s","job_id":"j"})"},
        {"/get_upload_data_status", finished}},
       [this] {
         return handle_upload(session, "p", data_path,
                              {{"file_format", "libsvm"}, {"collection_name", "d"}});
       }},
  };
  int variants = 0;
  for (const auto& c : cases) {
    const auto& [mutated_path, good] = c.good.back();
    for (const std::string& wrong : wrong_shapes(json::parse(good))) {
      SCOPED_TRACE(std::string(c.name) + ": " + wrong);
      reset();
      for (std::size_t i = 0; i + 1 < c.good.size(); ++i) {
        service.on("/api" + c.good[i].first, 200, c.good[i].second);
      }
      service.on("/api" + mutated_path, 200, wrong);
      CapturedOutput capture("y\n");
      const bool done = c.run();
      const bool error_shown = capture.out().find("[ERROR]") != std::string::npos;
      // The result is true exactly when no error line was printed.
      EXPECT_NE(done, error_shown) << capture.out();
      ++variants;
    }
  }
  EXPECT_GT(variants, 300);
}

}  // namespace
