// The API key never shows: not in any line the client prints when the service echoes it back
// in failures or in broken answers, not when a statement expands it, not as it is typed at the
// key prompt, and not in the line-editing history.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/process_fixture.h"
#include "tests/support/statement_table.h"

namespace {

using namespace testing_support;

const std::string kKey = "sk-orvix/7f3a9c21";

// The key as a service could write it inside JSON text: every character a \u escape, in capitals.
std::string escaped_whole(const std::string& text) {
  std::string out;
  char hex[8];
  for (const char c : text) {
    std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(c));
    out += hex;
  }
  return out;
}

// Times the key shows, whole or in part: a masked key must be masked to its last byte, so the
// mask is never followed by a character keys are made of.
int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (const std::string& spelt : {part, escaped_whole(part), std::string("sk-orvix\\/7f3a9c21")}) {
    for (auto at = text.find(spelt); at != std::string::npos; at = text.find(spelt, at + 1)) {
      ++count;
    }
  }
  const std::string mask = "********";
  for (auto at = text.find(mask); at != std::string::npos; at = text.find(mask, at + 1)) {
    const char next = at + mask.size() < text.size() ? text[at + mask.size()] : ' ';
    if (std::isalnum(static_cast<unsigned char>(next)) || next == '-') ++count;
  }
  return count;
}

class SecretsTest : public ProcessFixture {
 protected:
  SecretsTest() : ProcessFixture(kKey) {}

  // Every service path answers with the key in its body.
  void echo_key_everywhere(int status, const std::string& body) {
    for (const auto& path : service_paths()) service.on("/api" + path, status, body);
  }
};

TEST_F(SecretsTest, KeyEchoedByTheServiceIsNeverPrinted) {
  const auto statements =
      statement_rows(file("data.csv", "id,a\nx,1\n"), file("data.libsvm", "1 1:2\n"),
                     file("queries.csv", "1,2\n"));
  const std::vector<std::pair<int, std::string>> answers = {
      {500, R"({"detail":"bad request","user_api_key":")" + kKey + "\"}"},
      {200, R"({"success":false,"error_code":")" + kKey + "\",\"message\":\"" + kKey + "\"}"},
      {200, "{\"echo\": [\"" + kKey + "\""},  // truncated: the parse error quotes what it read
      // Other JSON spellings of the key: the slash escaped, every character a \u escape.
      {500, R"({"detail":"sk-orvix\/7f3a9c21"})"},
      {500, "{\"detail\":\"" + escaped_whole(kKey) + "\"}"},
  };
  for (const auto& [status, body] : answers) {
    service.clear();
    service.accept_login(kKey);
    echo_key_everywhere(status, body);
    for (const auto& [statement, scripted, no_answer] : statements) {
      service.clear_requests();
      // Word by word, as a shell passes a one-shot statement.
      std::vector<std::string> words;
      std::istringstream split(statement);
      for (std::string word; split >> word;) words.push_back(word);
      // (A small shard buffer: the data files are a line each.)
      const auto result =
          run_with(words, "y\n", {{"ORVIX_API_KEY", kKey}, {"SHARD_SIZE", "65536"}});
      // The statement posted to its own paths, in order, as far as the answers let it go.
      std::vector<std::string> posted;
      for (const auto& request : service.requests()) {
        if (request.path.rfind("/api/", 0) == 0 && request.path != "/api/check_cli_version") {
          posted.push_back(request.path.substr(4));
        }
      }
      // An upload that keeps a journal first reads what the dataset holds.
      if (scripted.front().first == "/upload" && posted.front() == "/fetch_datasets") {
        posted.erase(posted.begin());
      }
      ASSERT_FALSE(posted.empty()) << statement;
      for (std::size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i], scripted.at(std::min(i, scripted.size() - 1)).first) << statement;
      }
      // A failure status fails every statement; some statements do not read 200 answers.
      if (status != 200) {
        EXPECT_EQ(result.exit_status, 1) << statement << "\n" << result.out;
      }
      EXPECT_EQ(occurrences(result.out + result.err, kKey), 0) << statement << " / " << body << "\n"
                                                               << result.out << result.err;
    }
  }
  // Failed logins and a failed version check that quote the key.
  service.clear();
  service.on("/bk/validate-api-key", 401, R"({"detail":"Invalid API key )" + kKey + "\"}");
  auto result = run_with({"FETCH_PROJECTS"}, kKey + "\n", {});
  EXPECT_EQ(occurrences(result.out + result.err, kKey), 0) << result.out << result.err;
  service.on("/bk/validate-api-key", 200, R"({"detail":"no user for )" + kKey + "\"}");
  result = run({"FETCH_PROJECTS"});
  EXPECT_EQ(occurrences(result.out + result.err, kKey), 0) << result.out << result.err;
  service.clear();
  service.on("/bk/validate-api-key", 200, R"({"user_id":"u-1","username":"tester"})");
  service.on("/api/check_cli_version", 426, kKey);
  result = run({"FETCH_PROJECTS"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(occurrences(result.out + result.err, kKey), 0) << result.out << result.err;
}

TEST_F(SecretsTest, KeyPromptDoesNotEchoAndHistoryKeepsNoKey) {
  service.on("/api/fetch_datasets", 200, R"({"datasets":[]})");
  const auto result = run_on_terminal({},
                                      {{"Enter your Orvix API key: ", "not-the-key\r"},
                                       {"Please try again", ""},
                                       {"Enter your Orvix API key: ", kKey + "\r"},
                                       {"> ", "FETCH_DATASETS " + kKey + "\r"},
                                       {"================================", "\033[A\r"},
                                       {"> ", "exit\r"}},
                                      {{"TERM", "dumb"}});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_NE(result.out.find("Login successful!"), std::string::npos) << result.out;
  // Only the statement as typed shows the key: the prompt did not echo it, the output hid it,
  // and the history did not bring it back.
  EXPECT_EQ(occurrences(result.out, kKey), 1) << result.out;
}

TEST_F(SecretsTest, KeysOfAnyFormStayHiddenAndOutOfCoreDumps) {
  // A key of two characters, keys a service can only echo escaped, and a key the 8 KiB cut of
  // a long answer would split.
  for (const std::string& key :
       {std::string("Q7"), std::string("k\"e\\y-1"), std::string("clé-ünï"), kKey}) {
    const nlohmann::json echoed = {{"detail", "bad key " + key}};
    for (const std::string& body :
         {echoed.dump(), echoed.dump(-1, ' ', true),
          nlohmann::json({{"body", echoed.dump()}}).dump(), std::string(8190, '.') + key + "."}) {
      service.clear();
      service.accept_login(key);
      service.on("/api/fetch_projects", 500, body);
      const auto result = run_with({"FETCH_PROJECTS"}, "", {{"ORVIX_API_KEY", key}});
      const std::string said = result.out + result.err;
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_NE(said.find("Response: "), std::string::npos) << said;
      for (const bool ascii : {false, true}) {
        const std::string quoted = nlohmann::json(key).dump(-1, ' ', ascii);
        for (const std::string& form : {key, quoted.substr(1, quoted.size() - 2)}) {
          const auto found = said.find(form);
          EXPECT_EQ(found, std::string::npos)
              << key << " in "
              << "..." << said.substr(found < 80 ? 0 : found - 80, 300);
        }
      }
      EXPECT_EQ(said.find(std::string(8190, '.') + key.substr(0, 1)), std::string::npos) << key;
    }
  }
  // The process that holds a key leaves no core file behind.
  const auto limits =
      run_process("/bin/sh", {{"-c", "sleep 2 | " + std::string(ORVIX_UNDER_TEST) +
                                         " >/dev/null & sleep 0.5; cat /proc/$!/limits; kill $!"},
                              env(),
                              "",
                              20000});
  EXPECT_NE(limits.out.find("Max core file size        0                    0"), std::string::npos)
      << limits.out;
}

}  // namespace
