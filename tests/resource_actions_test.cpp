#include <gtest/gtest.h>

#include "tests/language_test_util.h"

namespace {

struct ConfirmationCase {
  std::string line;
  std::string answer;
  std::string question;
  std::string cancelled;  // empty when the deletion goes ahead
  std::string call;
};

TEST(ResourceStatements, DeletionsAskFirst) {
  const std::string dataset_q =
      "Are you sure you want to delete dataset 'd' in project'p'? [y/N]: ";
  const std::string project_q = "Are you sure you want to delete project 'p'? [y/N]: ";
  const std::string index_q = "Are you sure you want to delete index 'i' from dataset 'd'? [y/N]: ";
  const std::vector<ConfirmationCase> cases = {
      {"DELETE_DATASET p d", "y\n", dataset_q, "", "delete_dataset p d"},
      {"DELETE_DATASET p d", "Y\n", dataset_q, "", "delete_dataset p d"},
      {"DELETE_DATASET p d", "yes\n", dataset_q, "Deletion cancelled.", ""},
      {"DELETE_DATASET p d", "", dataset_q, "Deletion cancelled.", ""},
      {"DELETE_PROJECT p", "y\n", project_q, "", "delete_project p"},
      {"DELETE_PROJECT p", " y\n", project_q, "Deletion cancelled", ""},
      {"DELETE_PROJECT p", "", project_q, "Deletion cancelled", ""},
      {"DELETE_INDEX p d i", "Y\n", index_q, "", "delete_index p d i"},
      {"DELETE_INDEX p d i", "n\n", index_q, "Deletion cancelled.", ""},
  };
  for (const auto& c : cases) {
    const LineOutcome outcome = run_line(c.line, c.answer);
    std::string expected = "\033[33m" + c.question + "\033[0m";
    if (!c.cancelled.empty()) expected += "\033[31m" + c.cancelled + "\033[0m\n";
    EXPECT_EQ(outcome.out, expected) << c.line << " / " << c.answer;
    EXPECT_EQ(outcome.calls,
              c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call});
    EXPECT_EQ(outcome.ok, c.cancelled.empty());
  }
}

TEST(ResourceStatements, TracesAroundHandlers) {
  EXPECT_EQ(run_line("DELETE_INDEX p d i", "y\n").err,
            "\033[32m[Orvix] Delete index done.\033[0m\n");
  EXPECT_EQ(run_line("FETCH_DATASETS p").err, "\033[32m[Orvix] Fetch datasets done.\033[0m\n");
  EXPECT_EQ(run_line("ATTACH_INDEX p d i cosine true").err,
            "\033[32m[Orvix] Attaching index 'i' to dataset 'd' with large_index=true...\033[0m\n");
}

TEST(ResourceStatements, AnswerIsReadFromTheSameStreamAsLaterLines) {
  testing_support::recorded_calls().clear();
  testing_support::CapturedOutput capture("n\nsomething else\n");
  run_statement_line("DELETE_PROJECT p");
  std::string rest;
  std::getline(std::cin, rest);
  EXPECT_EQ(rest, "something else");
}

}  // namespace
