#include <gtest/gtest.h>

#include "commands/handlers.h"
#include "commands/indices.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace rest_client;
using namespace testing_support;

class IndexCommandsTest : public ServiceTest {
 protected:
  // The dataset listing of the pre-fetch.
  void datasets(const std::string& dimension) {
    service.on("/api/fetch_datasets", 200,
               R"j({"datasets":[{"name":"other","dimension":"(9,9)"},{"name":"d","dimension":")j" +
                   dimension + R"j("}]})j");
  }
  void attach_starts() {
    service.on("/api/attach_index", 200, R"({"success":true,"job_id":"j-1"})");
  }
  void status(const std::string& body) { service.on("/api/get_attach_index_status", 200, body); }
};

TEST(ShapeText, FirstNumberOfTheShape) {
  EXPECT_EQ(extractFirstElement("(250000, 128)"), 250000);
  EXPECT_EQ(extractFirstElement(" \t( 7 ,8 ) \n"), 7);
  for (const std::string bad : {"7", "(7)", "(7,)", "(,8)", "(7,8)x", "[7,8]", "(-7,8)", ""}) {
    try {
      extractFirstElement(bad);
      ADD_FAILURE() << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid dimension format: " + bad);
    }
  }
  EXPECT_THROW(extractFirstElement("(99999999999,1)"), std::out_of_range);
}

TEST(ShapeText, PollIntervalBoundaries) {
  const std::vector<std::pair<long long, int>> cases = {
      {0, 3000},        {300000, 3000},    {300001, 15000},   {500000, 15000},   {1000000, 15000},
      {1000001, 30000}, {10000000, 30000}, {10000001, 60000}, {20000000, 60000}, {-5, 3000}};
  for (const auto& [count, wait] : cases) EXPECT_EQ(attach_wait_time_ms(count), wait) << count;
}

TEST_F(IndexCommandsTest, AttachPollsUntilFinished) {
  datasets("(500000, 16)");
  attach_starts();
  status(R"({"success":true,"status":"pending"})");
  status(R"({"success":true,"status":"in_progress"})");
  status(R"({"success":true,"status":"finished"})");
  CapturedOutput capture;
  EXPECT_TRUE(handle_attach_index(session, "p", "d", "i", "innerProduct", true));
  EXPECT_EQ(capture.out(), " Number of vectors to be indexed: 500000\nwait_time 15000\n" +
                               success("Request in queue") +
                               success("Successfully attached index"));
  EXPECT_EQ(capture.err(),
            info("Attaching index with collection_name, index_name, and dist_type: d i Inner "
                 "Product...") +
                info("Attaching index 'i' to dataset 'd'") + info("Attaching index..."));
  EXPECT_EQ(sleeps, (std::vector<long long>{15000, 15000}));
  EXPECT_EQ(bodies("/attach_index"),
            std::vector<std::string>{R"({"collection_name":"d","dist_type":"Inner Product",)"
                                     R"("index_name":"i","large_index":true,"project_name":"p",)"
                                     R"("user_api_key":"key-1"})"});
  EXPECT_EQ(bodies("/get_attach_index_status").front(),
            R"({"job_id":"j-1","user_api_key":"key-1"})");
  EXPECT_EQ(session.limiter.recorded(), 2u);  // the polls do not pass the limiter
}

TEST_F(IndexCommandsTest, PrefetchProblemsDoNotStopTheAttach) {
  struct Case {
    std::string listing;
    int listing_status;
    std::string before;  // lines before "wait_time"
  };
  const std::vector<Case> cases = {
      {R"j({"datasets":[{"name":"x","dimension":"(5,5)"}]})j", 200, ""},
      {R"j({"datasets":[{"name":"d","dimension":"250000"}]})j", 200,
       error("Error in handle_fetch_datasets: Invalid dimension format: 250000")},
      {R"j({"datasets":[{"name":"d","dimension":"(99999999999, 2)"}]})j", 200,
       error("Error in handle_fetch_datasets: stoi")},
      {R"j({"datasets":[{"name":"d","dimension":"(2000000,1)"},{"name":"d","dimension":"(5,1)"}]})j",
       200, " Number of vectors to be indexed: 2000000\n Number of vectors to be indexed: 5\n"},
      {R"({"nope":1})", 200, error("Server returned incorrect response format")},
      {"x", 500, error("Datasets fetch failed! Status: 500\nResponse: x")},
  };
  for (const auto& c : cases) {
    reset();
    service.on("/api/fetch_datasets", c.listing_status, c.listing);
    attach_starts();
    status(R"({"success":true,"status":"finished"})");
    CapturedOutput capture;
    EXPECT_TRUE(handle_attach_index(session, "p", "d", "i", "L2", false));
    EXPECT_EQ(capture.out(), c.before + "wait_time 3000\n" + success("Successfully attached index"))
        << c.listing;
  }
}

TEST_F(IndexCommandsTest, AttachFailures) {
  const std::vector<std::tuple<int, std::string, std::string, std::string>> cases = {
      {500, "x", "", error("Attach Index failed! Status: 500\nResponse:x")},
      {200, R"({"success":false,"job_id":"j"})", "",
       error("Attach Index failed!\n{\"success\":false,\"job_id\":\"j\"}")},
      {200, R"({"success":true})", "", error("Attach Index failed!\n{\"success\":true}")},
      {200, R"({"success":true,"job_id":5})", "",
       error("Error in handle_attach_index: [json.exception.type_error.302] type must be string, "
             "but is number")},
      {200, R"({"success":true,"job_id":"j"})", R"({"status":"finished"})",
       "wait_time 3000\n" + error("Server returned invalid response")},
      {200, R"({"success":true,"job_id":"j"})", R"({"success":true,"status":"failed"})",
       "wait_time 3000\n" + error("Server failed to attach index")},
      {200, R"({"success":true,"job_id":"j"})",
       R"({"success":true,"status":"failed","error":"disk full"})",
       "wait_time 3000\n" + error("Server failed to attach index: disk full")},
      {200, R"({"success":true,"job_id":"j"})", R"({"success":true,"status":"paused"})",
       "wait_time 3000\n" + error("Server returned unknown status")},
      {200, R"({"success":true,"job_id":"j"})", R"({"success":true,"status":4})",
       "wait_time 3000\n" +
           error("Error in handle_attach_index: [json.exception.type_error.302] type must be "
                 "string, but is number")},
      {200, R"({"success":true,"job_id":"j"})", "[]",
       "wait_time 3000\n" + error("Server returned invalid response")},
  };
  for (const auto& [status_code, attach_answer, status_answer, out] : cases) {
    reset();
    service.on("/api/fetch_datasets", 200, R"({"datasets":[]})");
    service.on("/api/attach_index", status_code, attach_answer);
    if (!status_answer.empty()) status(status_answer);
    CapturedOutput capture;
    EXPECT_FALSE(handle_attach_index(session, "p", "d", "i", "COSINE", false)) << attach_answer;
    EXPECT_EQ(capture.out(), out) << attach_answer << " / " << status_answer;
    if (!attach_answer.empty()) {
      EXPECT_NE(bodies("/attach_index").front().find(R"("dist_type":"COSINE")"), std::string::npos);
    }
  }
  reset();
  service.on("/api/fetch_datasets", 200, R"({"datasets":[]})");
  attach_starts();
  service.on("/api/get_attach_index_status", 500, "broken");
  CapturedOutput capture;
  EXPECT_FALSE(handle_attach_index(session, "p", "d", "i", "l2", false));
  EXPECT_EQ(capture.out(),
            "wait_time 3000\n" + error("Server error: returned status 500 due to broken"));
}

TEST_F(IndexCommandsTest, ListIndexInfos) {
  const std::vector<std::tuple<std::string, bool, std::string>> cases = {
      {R"({"index_infos":[]})", true,
       success("Sucessfully fetched 0 index informations") + kBorder},
      {R"({"index_infos":[["i","L2"],["j"],[]]})", true,
       success("Sucessfully fetched 3 index informations") + kBorder +
           "Index name: \"i\"\nDistance type: \"L2\"\n" + kBorder +
           "Index name: \"j\"\nDistance type: null\n" + kBorder +
           "Index name: null\nDistance type: null\n" + kBorder},
      {R"({"index_infos":[{"name":"i"}]})", false,
       success("Sucessfully fetched 1 index informations") + kBorder +
           error("Error in list_index_infos: listed index entry is not a JSON array")},
      {R"({"index_infos":"i"})", false, error("Server returned incorrect response format")},
  };
  for (const auto& [body, ok, out] : cases) {
    reset();
    service.on("/api/list_index_infos", 200, body);
    CapturedOutput capture;
    EXPECT_EQ(handle_list_index_infos(session, "p", "d"), ok);
    EXPECT_EQ(capture.out(), out) << body;
    EXPECT_EQ(bodies("/list_index_infos"),
              std::vector<std::string>{
                  R"({"dataset_name":"d","project_name":"p","user_api_key":"key-1"})"});
  }
}

TEST_F(IndexCommandsTest, DeleteIndex) {
  const std::vector<std::tuple<int, std::string, bool, std::string>> cases = {
      {200, R"({"success":true})", true,
       success("Successfully deleted index 'i' from dataset 'd'")},
      {200, "{}", false, error("Failed to delete index, error code: UNKNOWN")},
      {400, "bad", false, error("Delete index failed! Status: 400\nResponse: bad")},
  };
  for (const auto& [status_code, body, ok, out] : cases) {
    reset();
    service.on("/api/delete_index", status_code, body);
    CapturedOutput capture;
    EXPECT_EQ(handle_delete_index(session, "p", "d", "i"), ok);
    EXPECT_EQ(capture.out(), out);
    EXPECT_EQ(bodies("/delete_index"),
              std::vector<std::string>{R"({"dataset_name":"d","index_name":"i","project_name":"p",)"
                                       R"("user_api_key":"key-1"})"});
  }
}

}  // namespace
