// Runs the real client against the fake service on the test port and compares whole outputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/support/capture.h"
#include "tests/support/fake_service.h"
#include "tests/support/process_runner.h"
#include "tests/support/statement_table.h"

namespace {

using namespace testing_support;

const std::string kBanner =
    "\n\n"
    " ██████╗ ██████╗ ██╗   ██╗██╗██╗  ██╗\n"
    "██╔═══██╗██╔══██╗██║   ██║██║╚██╗██╔╝\n"
    "██║   ██║██████╔╝██║   ██║██║ ╚███╔╝ \n"
    "██║   ██║██╔══██╗╚██╗ ██╔╝██║ ██╔██╗ \n"
    "╚██████╔╝██║  ██║ ╚████╔╝ ██║██╔╝ ██╗\n"
    " ╚═════╝ ╚═╝  ╚═╝  ╚═══╝  ╚═╝╚═╝  ╚═╝\n"
    "\n"
    "Welcome to use Orvix database Command Line Interface (CLI), version 1.0.0. Get ready to "
    "connect with your Orvix database, easily!\n"
    "\n"
    "To get started, please enter your Orvix API key to login. You can get the API after "
    "registering at https://console.orvix.dev/api-keys.\n"
    "\n";

const std::string kLoggedIn = kBanner + "Found Orvix API key, validating...\n" +
                              success("Login successful!") +
                              "Logged in successfully! Username: tester\n\n";

const std::string kWelcome =
    "Welcome to use Orvix database Command Line Interface (CLI)!\n"
    "You can manage your projects and data collections, construct indices, and search for "
    "queries.\n"
    "Please see https://docs.orvix.dev for documentation.\n"
    "\n\n"
    "Use 'HELP' to see the list of commands\n"
    "For each command, you can type 'COMMAND -h' to see help.\n"
    "Type 'exit' to exit.\n";

const std::string kSyntax =
    "\033[31m[ERROR] syntax error\033[0m\nUse COMMAND_NAME -h to find the format of a command or "
    "HELP to get the list of all valid commands\n";

class ProcessTest : public ::testing::Test {
 protected:
  ProcessTest() : service(ORVIX_TEST_PORT) { service.accept_login("secret-key"); }

  ProcessResult run(std::vector<std::string> args, const std::string& input = "",
                    std::map<std::string, std::string> env = {{"ORVIX_API_KEY", "secret-key"}}) {
    return run_process(ORVIX_UNDER_TEST, {std::move(args), std::move(env), input, 20000});
  }

  FakeService service;
};

TEST_F(ProcessTest, OneShotRunsOneStatementWithoutWelcome) {
  service.on("/api/fetch_projects", 200,
             R"({"projects":[{"project_name":"a","project_id":1,"application":"both"}]})");
  const auto result = run({"FETCH_PROJECTS"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, kLoggedIn + success("Projects fetch succeeded") +
                            success("Sucessfully fetched 1 projects") + kBorder +
                            "Project Name: \"a\"\nProject ID: 1\nApplication: \"both\"\n" +
                            kBorder);
  EXPECT_EQ(result.err, info("Fetching projects..."));
  EXPECT_EQ(service.requests_to("/bk/validate-api-key").at(0).header("X-API-Key"), "secret-key");
}

TEST_F(ProcessTest, OneShotExitStatusTellsTheTruth) {
  service.on("/api/delete_project", 200, R"({"success":false,"error_code":"NOT_FOUND"})");
  service.on("/api/create_project", 500, "down");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out_tail;
  };
  const std::vector<Case> cases = {
      {{"fetch_projects", "-h"}, "", 0, "Gets the list of all projects\n"},
      {{"foo", "bar"}, "", 1, kSyntax},
      {{"DELETE_PROJECT", "p", "extra"},
       "y\n",
       1,
       kSyntax + "Deletes a project\nFormat: DELETE_PROJECT <project_name>\n"},
      {{"DELETE_PROJECT", "p"},
       "y\n",
       1,
       "\033[33mAre you sure you want to delete project 'p'? [y/N]: \033[0m" +
           error("Failed to delete project, error code: NOT_FOUND")},
      {{"DELETE_PROJECT", "p"},
       "",
       1,
       "\033[33mAre you sure you want to delete project 'p'? [y/N]: \033[0m\033[31mDeletion "
       "cancelled\033[0m\n"},
      {{"CREATE_PROJECT", "p", "both"},
       "",
       1,
       error("Create project failed! Status: 500\nResponse: down")},
  };
  for (const auto& c : cases) {
    const auto result = run(c.args, c.input);
    EXPECT_EQ(result.exit_status, c.status) << c.args[0];
    EXPECT_EQ(result.out, kLoggedIn + c.out_tail) << c.args[0];
  }
  EXPECT_EQ(service.requests_to("/api/delete_project").size(), 1u);
}

TEST_F(ProcessTest, EveryResourceStatementRunsFromTheCommandLine) {
  service.on("/api/create_project", 200, "{}");
  service.on("/api/init", 200, "{}");
  service.on("/api/fetch_datasets", 200,
             R"j({"datasets":[{"name":"d","dimension":"(2, 3)","size":2048}]})j");
  service.on("/api/delete_dataset", 200, R"({"success":true})");
  service.on("/api/attach_index", 200, R"({"success":true,"job_id":"j"})");
  service.on("/api/get_attach_index_status", 200, R"({"success":true,"status":"finished"})");
  service.on("/api/list_index_infos", 200, R"({"index_infos":[["i","L2"]]})");
  service.on("/api/delete_index", 200, R"({"success":true})");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out_tail;
    std::string path;
    std::string body;
  };
  const std::vector<Case> cases = {
      {{"CREATE_PROJECT", "p", "search"},
       "",
       success("Create project 'p' succeeded"),
       "/api/create_project",
       R"({"application":"search","project_name":"p","user_api_key":"secret-key"})"},
      {{"INIT_DATASET", "p", "d", "dense", "3"},
       "",
       success("Successfully initialized dataset 'd'"),
       "/api/init",
       R"({"collection_name":"d","project_name":"p","user_api_key":"secret-key","vector_dim":3,"vector_type":"dense"})"},
      {{"FETCH_DATASETS", "p"},
       "",
       success("Datasets fetch succeeded") +
           success("Successfully fetched 1 datasets from project 'p'") + kBorder +
           "Name: d\nDimension: (2, 3)\nSize: 2.00 KB\n" + kBorder,
       "/api/fetch_datasets",
       R"({"project_name":"p","user_api_key":"secret-key"})"},
      {{"DELETE_DATASET", "p", "d"},
       "y\n",
       "\033[33mAre you sure you want to delete dataset 'd' in project'p'? [y/N]: \033[0m" +
           success("Successfully deleted dataset 'd'"),
       "/api/delete_dataset",
       R"({"dataset_name":"d","project_name":"p","user_api_key":"secret-key"})"},
      {{"ATTACH_INDEX", "p", "d", "i", "cosine"},
       "",
       " Number of vectors to be indexed: 2\nwait_time 3000\n" +
           success("Successfully attached index"),
       "/api/attach_index",
       R"({"collection_name":"d","dist_type":"Cosine","index_name":"i","large_index":false,"project_name":"p","user_api_key":"secret-key"})"},
      {{"LIST_INDEX", "p", "d"},
       "",
       success("Sucessfully fetched 1 index informations") + kBorder +
           "Index name: \"i\"\nDistance type: \"L2\"\n" + kBorder,
       "/api/list_index_infos",
       R"({"dataset_name":"d","project_name":"p","user_api_key":"secret-key"})"},
      {{"DELETE_INDEX", "p", "d", "i"},
       "Y\n",
       "\033[33mAre you sure you want to delete index 'i' from dataset 'd'? [y/N]: \033[0m" +
           success("Successfully deleted index 'i' from dataset 'd'"),
       "/api/delete_index",
       R"({"dataset_name":"d","index_name":"i","project_name":"p","user_api_key":"secret-key"})"},
  };
  for (const auto& c : cases) {
    const auto result = run(c.args, c.input);
    EXPECT_EQ(result.exit_status, 0) << c.args[0];
    EXPECT_EQ(result.out, kLoggedIn + c.out_tail) << c.args[0];
    EXPECT_EQ(service.requests_to(c.path).back().body, c.body) << c.args[0];
    EXPECT_EQ(service_paths().count(c.path.substr(4)), 1u) << c.path << " is not in the table";
  }
}

TEST_F(ProcessTest, EveryVectorStatementRunsFromTheCommandLine) {
  service.on("/api/add_data", 200, R"({"error_code":"Success"})");
  service.on("/api/add_data_batch", 200, R"({"checksum_server":"c","job_id":"j"})");
  service.on("/api/add_data_batch", 200, "[]");  // the sparse batch's answer
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"ok"})");
  service.on("/api/remove_data", 200, R"({"error_code":"Success"})");
  service.on("/api/search", 200, R"({"results":[{"distance":0.5,"idx":"a"}]})");
  const std::string trace_qv = "[Orvix] search_options: query_vector = [\"1\",\"2\"]\n";
  struct Case {
    std::vector<std::string> args;
    std::string path;
    std::string body_part;
    std::string out_part;
  };
  const std::vector<Case> cases = {
      {{"SEARCH", "p", "d", "i", "vector", "--query_vector", "[1, 2]"},
       "/api/search",
       R"("query_type":"vector","query_vector":[1.0,2.0])",
       trace_qv + success("Search successful, retrieved top-1 vectors") + kBorder +
           "Distance/Similarity: 0.5\nID: \"a\"\n"},
      {{"INSERT_VECTOR", "p", "d", "id", "[0.5,", "2]", "--vector_attributes", "[c:red]"},
       "/api/add_data",
       R"({"attributes":{"c":"red"},"collection_name":"d","data":[0.5,2.0])",
       success("Successfully inserted vector")},
      {{"INSERT_VECTOR", "p", "d", "id", "[7:0.5]"},
       "/api/add_data",
       R"("data":[[7,0.5]])",
       success("Successfully inserted vector")},
      {{"INSERT_VECTOR_BATCH", "p", "d", "[a,b]", "[[1],[2]]"},
       "/api/add_data_batch",
       R"("data":[[1.0],[2.0]],"project_name":"p","string_ids":["a","b"])",
       "Server returns matching checksum: c\n"},
      {{"INSERT_VECTOR_BATCH", "p", "d", "[a]", "[[1:2]]"},
       "/api/add_data_batch",
       R"("data":[[[1,2.0]]],"project_name":"p","string_id":["a"])",
       success("Inserted 0 vectors successfully.")},
      {{"DELETE_VECTOR", "p", "d", "[a, b]"},
       "/api/remove_data",
       R"("string_ids":["a","b"])",
       success("Successfully deleted 2 vectors from dataset d")},
  };
  for (const auto& c : cases) {
    const auto result = run(c.args);
    EXPECT_EQ(result.exit_status, 0) << c.args[0];
    EXPECT_NE(result.out.find(c.out_part), std::string::npos) << c.args[0] << result.out;
    ASSERT_FALSE(service.requests_to(c.path).empty()) << c.args[0];
    EXPECT_EQ(service_paths().count(c.path.substr(4)), 1u) << c.path << " is not in the table";
    EXPECT_NE(service.requests_to(c.path).back().body.find(c.body_part), std::string::npos)
        << service.requests_to(c.path).back().body;
  }
  service.clear();
  service.accept_login("secret-key");
  service.on("/api/add_data", 200, R"({"error_code":"DIM_MISMATCH"})");
  EXPECT_EQ(run({"INSERT_VECTOR", "p", "d", "id", "[1]"}).exit_status, 1);
}

TEST_F(ProcessTest, UploadAsksForColumnsOnStandardInput) {
  service.on("/api/upload", 200, R"({"checksum_server":"s","job_id":"j"})");
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"ok"})");
  const std::string path = ::testing::TempDir() + "process_upload.csv";
  std::ofstream(path) << "1,2,3\n4,5,6\n";
  const auto result = run({"UPLOAD", "p", path, "--file_format", "csv", "--has_field_names", "no",
                           "--vector_type", "dense", "--dataset_name", "d"},
                          "y\n3\nn\n");
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_NE(result.out.find(success("Successfully uploaded file to dataset")), std::string::npos);
  EXPECT_EQ(result.err.find("\033[K"), std::string::npos);  // no progress line off a terminal
  ASSERT_EQ(service.requests_to("/api/upload").size(), 1u);
  EXPECT_NE(service.requests_to("/api/upload")[0].body.find(R"("vector_id_field_name":"3")"),
            std::string::npos);

  const auto rejected =
      run({"UPLOAD", "p", path, "--file_format", "binary", "--binary_dim", "3", "--binary_dtype",
           "uint8", "--dataset_name", "d", "--attributes", "[a]"});
  EXPECT_EQ(rejected.exit_status, 1);
  EXPECT_NE(rejected.out.find(error("Invalid argument attributes")), std::string::npos);
  EXPECT_EQ(service.requests_to("/api/upload").size(), 1u);
}

TEST_F(ProcessTest, UnusableShardSizeIsReportedAtStartUp) {
  for (const std::string text : {"abc", "-5", "99999999999"}) {
    const auto result =
        run({"fetch_projects", "-h"}, "", {{"ORVIX_API_KEY", "secret-key"}, {"SHARD_SIZE", text}});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(
        result.out.rfind(yellow("[WARNING] SHARD_SIZE=\"" + text +
                                "\" is not a shard size in bytes; using the default 209715200"),
                         0),
        0u)
        << result.out;
  }
  EXPECT_EQ(
      run({"fetch_projects", "-h"}, "", {{"ORVIX_API_KEY", "secret-key"}, {"SHARD_SIZE", "1024"}})
          .out.find("WARNING"),
      std::string::npos);
}

TEST_F(ProcessTest, FlagsAnswerBeforeAnyLogin) {
  service.clear();
  const auto version = run({"--version"}, "", {});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "orvix 1.0.0\n");
  const auto help = run({"--help"}, "", {});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvix ", 0), 0u);
  for (const std::string word : {"ORVIX_API_KEY", "SHARD_SIZE", "NO_COLOR", "orvix-local"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  EXPECT_TRUE(service.requests().empty());
  // Anything else is a statement, as before.
  service.accept_login("secret-key");
  EXPECT_EQ(run({"--version", "x"}, "", {{"ORVIX_API_KEY", "secret-key"}}).exit_status, 1);
}

TEST_F(ProcessTest, ScriptExitStatusReportsAnyFailure) {
  EXPECT_EQ(run({}, "HELP\nfetch_projects -h\n").exit_status, 0);
  const auto failed = run({}, "foo bar\nHELP\n");
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_NE(failed.out.find("- UPLOAD"), std::string::npos);  // later statements still run
  EXPECT_EQ(run({}, "foo bar\nexit\n").exit_status, 1);
}

TEST_F(ProcessTest, NoColorWritesNoColourSequences) {
  service.on("/api/fetch_datasets", 200, R"({"datasets":[]})");
  const std::string script =
      "foo bar\nDELETE_PROJECT p\nn\nINIT_DATASET p d sparse 3\nCREATE_PROJECT p x\n"
      "FETCH_DATASETS p\nFETCH_PROJECTS\n";
  const auto plain = run({}, script, {{"ORVIX_API_KEY", "secret-key"}, {"NO_COLOR", "1"}});
  EXPECT_EQ(plain.out.find('\033'), std::string::npos) << plain.out;
  EXPECT_EQ(plain.err.find('\033'), std::string::npos) << plain.err;
  for (const std::string part :
       {"[ERROR] syntax error", "Deletion cancelled", "[WARNING] vector_dim",
        "[SUCCESS] Login successful!", "[Orvix] Fetch datasets done."}) {
    EXPECT_NE((plain.out + plain.err).find(part), std::string::npos) << part;
  }
  const auto coloured = run({}, script, {{"ORVIX_API_KEY", "secret-key"}, {"NO_COLOR", ""}});
  EXPECT_NE(coloured.out.find("\033[31m[ERROR] syntax error\033[0m"), std::string::npos);
}

TEST_F(ProcessTest, FailedVersionCheckExitsBeforeTheWelcome) {
  service.clear();
  service.on("/bk/validate-api-key", 200, R"({"user_id":"u","username":"tester"})");
  service.on("/api/check_cli_version", 200, R"({"success":false,"message":"Please upgrade"})");
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"FETCH_PROJECTS"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, kLoggedIn + error("Please upgrade"));
  }
  EXPECT_TRUE(service.requests_to("/api/fetch_projects").empty());
}

TEST_F(ProcessTest, PipedScriptRunsStatementsAndAnswersInOrder) {
  service.on("/api/delete_project", 200, R"({"success":true})");
  const auto result = run({}, "HELP foo\n\nDELETE_PROJECT p\ny\nEXIT\nexit\nFETCH_PROJECTS\n");
  EXPECT_EQ(result.exit_status, 1);  // a script with a failed statement
  const std::string expected_tail =
      kSyntax +
      "The following is the list of valid commands:\n- ATTACH_INDEX\n- CREATE_PROJECT\n- "
      "INIT_DATASET\n- DELETE_DATASET\n- DELETE_INDEX\n- DELETE_PROJECT\n- DELETE_VECTOR\n- "
      "FETCH_DATASETS\n- FETCH_PROJECTS\n- INSERT_VECTOR\n- INSERT_VECTOR_BATCH\n- LIST_INDEX\n- "
      "SEARCH\n- UPLOAD\nUse COMMAND_NAME -h to find out what each command does\n" +
      "\033[33mAre you sure you want to delete project 'p'? [y/N]: \033[0m" +
      success("Successfully deleted project 'p'") + kSyntax + "Bye!\n";
  EXPECT_EQ(result.out, kLoggedIn + kWelcome + expected_tail);
  EXPECT_TRUE(service.requests_to("/api/fetch_projects").empty());
}

TEST_F(ProcessTest, KeyPromptWithoutEnvironmentKey) {
  service.clear();
  service.on("/bk/validate-api-key", 401, R"({"detail":"Invalid API key"})");
  service.on("/bk/validate-api-key", 200, R"({"user_id":"u","username":"tester"})");
  service.on("/api/check_cli_version", 200, R"({"success":true,"message":""})");
  const auto result = run({"fetch_projects", "-h"}, "wrong\ngood\n", {{"ORVIX_API_KEY", ""}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out,
            kBanner + "No global Orvix API key found. Please...\n" + "Enter your Orvix API key: " +
                "Failed to authenticate. Please try again with a valid API key.\n" +
                "Enter your Orvix API key: " + success("Login successful!") +
                "Logged in successfully! Username: tester\n\n" + "Gets the list of all projects\n");
  EXPECT_EQ(
      result.err,
      red("[ERROR] Login failed! Status code: 401\nResponse: {\"detail\":\"Invalid API key\"}"));
  const auto keys = service.requests_to("/bk/validate-api-key");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1].header("X-API-Key"), "good");

  const auto cancelled = run({"FETCH_PROJECTS"}, "", {});
  EXPECT_EQ(cancelled.exit_status, 0);
  EXPECT_EQ(cancelled.out, kBanner + "No global Orvix API key found. Please...\n" +
                               "Enter your Orvix API key: \nInput canceled. Exiting...\n");
}

TEST_F(ProcessTest, TerminalPromptLineEditingAndEndOfInput) {
  const auto result = run_on_terminal(
      ORVIX_UNDER_TEST, {{}, {{"ORVIX_API_KEY", "secret-key"}, {"TERM", "dumb"}}, "", 20000},
      {{"> ", "fetch_projects -h\r"},
       {"Gets the list of all projects", ""},
       {"> ", "FETCH_PROJECTX\bS -h\r"},
       {"Gets the list of all projects", ""},
       {"> ", "\x04"}});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.out.find("Bye!"), std::string::npos);
  EXPECT_NE(result.out.find("Type 'exit' to exit."), std::string::npos);
}

TEST_F(ProcessTest, TabCompletesStatementsOptionsAndValues) {
  const auto result = run_on_terminal(
      ORVIX_UNDER_TEST, {{}, {{"ORVIX_API_KEY", "secret-key"}, {"TERM", "dumb"}}, "", 20000},
      {{"> ", "fetch_proj\t"},
       {"FETCH_PROJECTS", " -\t"},
       {"-h", "\r"},
       {"Gets the list of all projects", ""},
       {"> ", "UPLOAD p f --file_f\t"},
       {"--file_format", "bin\t"},
       {"binary", "\x15q\r"}});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_NE(result.out.find("Bye!"), std::string::npos) << result.out;
}

TEST_F(ProcessTest, UploadShowsProgressOnATerminal) {
  service.on("/api/upload", 200, R"({"checksum_server":"s","job_id":"j"})");
  service.on("/api/get_upload_data_status", 200,
             R"({"success":true,"status":"finished","error_message":"ok"})");
  const std::string path = ::testing::TempDir() + "process_progress.libsvm";
  {
    std::ofstream file(path);
    for (int i = 0; i < 400000; ++i) file << "1 " << i << ":0." << i % 97 << " 7:1.5\n";
  }
  const auto result =
      run_on_terminal(ORVIX_UNDER_TEST,
                      {{"UPLOAD", "p", path, "--file_format", "libsvm", "--dataset_name", "d"},
                       {{"ORVIX_API_KEY", "secret-key"}, {"TERM", "dumb"}},
                       "",
                       30000},
                      {});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  const auto line = result.out.find("\r\033[KRead ");
  ASSERT_NE(line, std::string::npos) << result.out;
  EXPECT_NE(result.out.find(" MB, 0 shards sent, ", line), std::string::npos);
  // The line is cleared before the next lines, which then start at the left margin.
  const auto cleared = result.out.find("\r\033[K[INFO] Uploading ...'", line);
  EXPECT_NE(cleared, std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Successfully uploaded file to dataset"), std::string::npos);
  std::remove(path.c_str());
}

TEST_F(ProcessTest, TerminalExitWord) {
  const auto result = run_on_terminal(
      ORVIX_UNDER_TEST, {{}, {{"ORVIX_API_KEY", "secret-key"}, {"TERM", "dumb"}}, "", 20000},
      {{"> ", "q\r"}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.out.find("Bye!"), std::string::npos);
}

}  // namespace

namespace {

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer reserves more address space than the limit
TEST_F(ProcessTest, AVectorLargerThanItsFileTakesNoMemory) {
  // With 1 GiB of address space, a buffer for one 2 GiB vector cannot even be asked for.
  const std::string path = ::testing::TempDir() + "eight-" + std::to_string(getpid()) + ".bin";
  std::ofstream(path, std::ios::binary) << "12345678";
  const auto result = run_process(
      "/usr/bin/prlimit",
      {{"--as=1073741824", ORVIX_UNDER_TEST, "UPLOAD", "p", path, "--file_format", "binary",
        "--dataset_name", "d", "--binary_dim", "2147483647", "--binary_dtype", "uint8"},
       {{"ORVIX_API_KEY", "secret-key"}},
       "",
       20000});
  std::remove(path.c_str());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.out.find("The data file holds no records: " + path), std::string::npos)
      << result.out;
}
#endif

}  // namespace
