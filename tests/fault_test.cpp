// Broken connections and hostile answers, for every statement of the statement table: each
// fails with its own line and says why, sends a data-changing request only once, shows no more
// of a huge or hostile answer than a terminal can take, and is false exactly when it printed an
// error line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "shell/dispatcher.h"
#include "tests/support/dropping_server.h"
#include "tests/support/service_fixture.h"
#include "tests/support/statement_table.h"

namespace {

using namespace rest_client;
using namespace testing_support;
using json = nlohmann::json;

class FaultTest : public ServiceTest {
 protected:
  FaultTest() {
    std::ofstream(csv) << "id,a\nx,1\n";
    std::ofstream(libsvm) << "1 0:1.5\n2 1:2\n";
    std::ofstream(queries) << "1,2\n";
  }
  ~FaultTest() override {
    for (const auto& path : {csv, libsvm, queries}) std::remove(path.c_str());
  }

  std::vector<StatementRow> rows() const { return statement_rows(csv, libsvm, queries); }

  // Runs a statement with "y" for its question; its result, and what it printed.
  bool run(const std::string& line, std::string& shown) {
    session.limiter.clear();
    CapturedOutput capture("y\n");
    const bool done = run_statement_line(session, line);
    shown = capture.out() + capture.err();
    return done;
  }

  const std::string base = ::testing::TempDir() + "fault_" + std::to_string(getpid());
  const std::string csv = base + ".csv", libsvm = base + ".libsvm", queries = base + "_q.csv";
};

TEST_F(FaultTest, NoAnswerFailsEveryStatementWithItsLineAndTheCause) {
  const std::vector<std::optional<DropPoint>> points = {std::nullopt, DropPoint::kDuringRequest,
                                                        DropPoint::kDuringAnswer};
  for (const auto& point : points) {
    for (const auto& row : rows()) {
      SCOPED_TRACE(row.statement);
      std::optional<DroppingServer> server;
      if (point) server.emplace(*point);
      // Nothing listens on port 1.
      session.endpoints.api =
          "http://127.0.0.1:" + std::to_string(server ? server->port() : 1) + "/api";
      std::string shown;
      EXPECT_FALSE(run(row.statement, shown));
      EXPECT_NE(shown.find("[ERROR] " + row.no_answer), std::string::npos) << shown;
      const std::string cause =
          point ? "[ERROR] The request to 127.0.0.1:" : "[ERROR] Could not connect to 127.0.0.1:1";
      EXPECT_NE(shown.find(cause), std::string::npos) << shown;
      // The attach goes on after its dataset listing fails; nothing is sent twice.
      const int requests = row.statement.rfind("ATTACH_INDEX", 0) == 0 ? 2 : 1;
      if (server) {
        EXPECT_EQ(server->connections(), requests) << "a request was sent again";
      }
    }
  }
}

TEST_F(FaultTest, HugeAndHostileAnswersAreShownCut) {
  std::string garbage(2 * 1024 * 1024, 'g');
  garbage[100] = '\033';
  garbage.replace(200, 18, "\n[SUCCESS] forged\n");  // a line of the service's own
  for (const int status : {200, 500}) {
    for (const auto& row : rows()) {
      SCOPED_TRACE(row.statement + " " + std::to_string(status));
      reset();
      for (const auto& path : service_paths()) service.on("/api" + path, status, garbage);
      std::string shown;
      const bool done = run(row.statement, shown);
      // Creating a project or a dataset does not read a 200 answer; all else fails on garbage.
      if (status != 200 || (row.statement.rfind("CREATE_PROJECT", 0) != 0 &&
                            row.statement.rfind("INIT_DATASET", 0) != 0)) {
        EXPECT_FALSE(done);
      }
      EXPECT_LT(shown.size(), 64u * 1024) << "the answer was printed whole";
      EXPECT_EQ(shown.find("g\033"), std::string::npos) << "a control character reached the screen";
      EXPECT_EQ(shown.find("\n[SUCCESS] forged"), std::string::npos) << "a line was forged";
    }
  }
  // An answer past the bound is not read at all.
  reset();
  session.network.limits.max_answer_bytes = 1 << 20;
  service.on("/api/fetch_projects", 200, std::string(2 << 20, ' ') + "{}");
  std::string shown;
  EXPECT_FALSE(run("FETCH_PROJECTS", shown));
  EXPECT_NE(
      shown.find("is larger than 1 MiB and was not read (ORVIX_MAX_ANSWER_MB sets the bound)"),
      std::string::npos)
      << shown;
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
  int variants = 0;
  for (const auto& row : rows()) {
    // Each answer in turn is the wrong one, the others good; an attach goes on without its
    // dataset listing, as the handler table shows.
    for (std::size_t wrong_at = 0; wrong_at < row.answers.size(); ++wrong_at) {
      const auto& [mutated_path, good] = row.answers[wrong_at];
      if (mutated_path == "/fetch_datasets" && row.answers.size() > 1) continue;
      for (const std::string& wrong : wrong_shapes(json::parse(good))) {
        SCOPED_TRACE(row.statement + ": " + mutated_path + " " + wrong);
        reset();
        for (const auto& [path, answer] : row.answers) {
          service.on("/api" + path, 200, path == mutated_path ? wrong : answer);
        }
        std::string shown;
        const bool done = run(row.statement, shown);
        EXPECT_NE(done, shown.find("[ERROR]") != std::string::npos) << shown;
        ++variants;
      }
    }
  }
  EXPECT_GT(variants, 300);
}

}  // namespace
